#include "record/production_settings.h"

#include "image/image_file.h"
#include "image/profile.h"
#include "job/guards.h"
#include "record/session_record.h"
#include "ui/quorlin_dlg.h"

std::unique_ptr<RecordFile> ApplyProductionSettings(CQuorlinDlg& dlg, const std::string& configPath,
                                                    std::string* error, RowListener alsoRow,
                                                    const Job* job) {
  dlg.SetFastReplies(job ? job->fast
                         : ReadProfileString(configPath, "Transfer", "Fast", "0") == "1");
  const std::string path = job ? job->record : ReadProfileString(configPath, "Record", "Path", "");
  std::unique_ptr<RecordFile> file;
  if (!path.empty()) {
    file = RecordFile::Open(path, error);
    if (!file) return nullptr;
    if (const std::string note = file->LeftOutNote(); !note.empty())
      dlg.Surface().MessageBox(note + ".");
  }
  RecordContext context;
  if (job) {
    context.station = job->station;
    context.job = job->name;
  }
  if (!file && !alsoRow) return nullptr;
  RecordFile* record = file.get();
  dlg.SetSessionEndListener([&dlg, record, alsoRow, context](const SessionEnd& end) {
    const auto bytes = dlg.ImageData();
    SessionRecord row = NewSessionRecord(
        end.port, dlg.LastReply(),
        DescribeImage(dlg.m_strImageName.Get(), bytes ? *bytes : std::vector<uint8_t>{}), context);
    row.result = ResultName(end.result);
    row.reason = end.reason;
    row.durationMs = end.duration.count();
    std::string failure;
    if (record != nullptr && !record->Append(row, &failure))
      dlg.Surface().MessageBox(failure + ".");
    if (alsoRow) failure = alsoRow(row);
    if (alsoRow && !failure.empty()) dlg.Surface().MessageBox(failure + ".");
  });
  return file;
}

std::string ApplyJob(CQuorlinDlg& dlg, const std::string& configPath, const std::string& jobPath,
                     std::optional<Job>* job) {
  const std::string path =
      jobPath.empty() ? ReadProfileString(configPath, "Job", "Path", "") : jobPath;
  if (path.empty()) return {};
  std::string error;
  *job = ReadJob(path, &error);
  if (!*job) return error;
  dlg.RunJob((*job)->name, (*job)->image);
  dlg.SetChargerGuard(
      [&dlg, guards = (*job)->guards, skip = (*job)->skipSameVersion](const MenuReply& charger) {
        const auto bytes = dlg.ImageData();
        const std::optional<std::string> imageVersion =
            FindVersionTag(bytes ? *bytes : std::vector<uint8_t>{});
        std::string refusal = GuardRefusal(guards, charger, imageVersion);
        if (refusal.empty() && skip && imageVersion && charger.version == imageVersion)
          refusal = "the charger already runs version " + *imageVersion;
        return refusal;
      });
  return {};
}
