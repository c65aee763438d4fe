#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "job/job_file.h"
#include "record/record_file.h"

class CQuorlinDlg;

// Where each row goes besides the record file (a server, say): "" when it was taken, else why
// not.
using RowListener = std::function<std::string(const SessionRecord&)>;

// config.ini's production settings for a face built on the engine: [Transfer] Fast=1 turns on
// fast replies, and [Record] Path=FILE appends one row per session end to FILE, with the
// charger as it answered before the session and the image loaded; `alsoRow`, when given, gets
// every row too. A `job` the window runs from gives Fast=, Record= and Station= instead, and
// its name to every row. Call before the first session. nullptr when no record file is kept;
// `error` is set when FILE cannot be written.
std::unique_ptr<RecordFile> ApplyProductionSettings(CQuorlinDlg& dlg, const std::string& configPath,
                                                    std::string* error, RowListener alsoRow = {},
                                                    const Job* job = nullptr);

// The job a window runs from: `jobPath` (its --job), else config.ini's [Job] Path=; none when
// neither names one. Its name goes into the caption, its image is loaded for good ("Open..."
// disabled), and its guards and SkipSameVersion refuse chargers, with the reason in the status
// area. Call before OnInitDialog. Empty, or why the window cannot run it.
std::string ApplyJob(CQuorlinDlg& dlg, const std::string& configPath, const std::string& jobPath,
                     std::optional<Job>* job);
