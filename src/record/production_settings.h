#pragma once

#include <memory>
#include <string>

#include "record/record_file.h"

class CQuorlinDlg;

// config.ini's production settings for a face built on the engine: [Transfer] Fast=1 turns on
// fast replies, and [Record] Path=FILE appends one row per session end to FILE, with the
// charger as it answered before the session and the image loaded. Call before the first
// session. nullptr when no record is kept; `error` is set when FILE cannot be written.
std::unique_ptr<RecordFile> ApplyProductionSettings(CQuorlinDlg& dlg, const std::string& configPath,
                                                    std::string* error);
