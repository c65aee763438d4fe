#include "record/production_settings.h"

#include "image/profile.h"
#include "record/session_record.h"
#include "ui/quorlin_dlg.h"

std::unique_ptr<RecordFile> ApplyProductionSettings(CQuorlinDlg& dlg, const std::string& configPath,
                                                    std::string* error, RowListener alsoRow) {
  dlg.SetFastReplies(ReadProfileString(configPath, "Transfer", "Fast", "0") == "1");
  const std::string path = ReadProfileString(configPath, "Record", "Path", "");
  std::unique_ptr<RecordFile> file;
  if (!path.empty()) {
    file = RecordFile::Open(path, error);
    if (!file) return nullptr;
  }
  if (!file && !alsoRow) return nullptr;
  RecordFile* record = file.get();
  dlg.SetSessionEndListener([&dlg, record, alsoRow](const SessionEnd& end) {
    const auto bytes = dlg.ImageData();
    SessionRecord row = NewSessionRecord(
        end.port, dlg.LastReply(),
        DescribeImage(dlg.m_strImageName.Get(), bytes ? *bytes : std::vector<uint8_t>{}));
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
