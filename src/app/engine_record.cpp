#include "engine_record.h"

#include "image/image_file.h"
#include "image/profile.h"
#include "image/sha256.h"
#include "session_record.h"
#include "ui/quorlin_dlg.h"

std::unique_ptr<RecordFile> ApplyProductionSettings(CQuorlinDlg& dlg, const std::string& configPath,
                                                    std::string* error) {
  dlg.SetFastReplies(ReadProfileString(configPath, "Transfer", "Fast", "0") == "1");
  const std::string path = ReadProfileString(configPath, "Record", "Path", "");
  if (path.empty()) return nullptr;
  std::unique_ptr<RecordFile> file = RecordFile::Open(path, error);
  if (!file) return nullptr;
  RecordFile* record = file.get();
  dlg.SetSessionEndListener([&dlg, record, host = HostName()](const SessionEnd& end) {
    SessionRecord row;
    row.time = UtcNowIso8601();
    row.host = host;
    row.port = end.port;
    if (const auto reply = dlg.LastReply()) {
      row.charger = reply->identification;
      row.serial = reply->serial;
      row.versionBefore = reply->version;
    }
    row.image = BaseName(dlg.m_strImageName.Get());
    if (const auto bytes = dlg.ImageData()) {
      row.imageSize = static_cast<uint32_t>(bytes->size());
      row.imageSha256 = Sha256Hex(bytes->data(), bytes->size());
      row.imageVersion = FindVersionTag(*bytes);
    }
    row.result = ResultName(end.result);
    row.reason = end.reason;
    row.durationMs = end.duration.count();
    std::string failure;
    if (!record->Append(row, &failure)) dlg.Surface().MessageBox(failure + ".");
  });
  return file;
}
