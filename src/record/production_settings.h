#pragma once

#include <functional>
#include <memory>
#include <string>

#include "record/record_file.h"

class CQuorlinDlg;

// Where each row goes besides the record file (a server, say): "" when it was taken, else why
// not.
using RowListener = std::function<std::string(const SessionRecord&)>;

// config.ini's production settings for a face built on the engine: [Transfer] Fast=1 turns on
// fast replies, and [Record] Path=FILE appends one row per session end to FILE, with the
// charger as it answered before the session and the image loaded; `alsoRow`, when given, gets
// every row too. Call before the first session. nullptr when no record file is kept; `error`
// is set when FILE cannot be written.
std::unique_ptr<RecordFile> ApplyProductionSettings(CQuorlinDlg& dlg, const std::string& configPath,
                                                    std::string* error, RowListener alsoRow = {});
