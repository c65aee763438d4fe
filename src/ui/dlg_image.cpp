#include "image/image_file.h"
#include "image/profile.h"
#include "quorlin_dlg.h"
#include "res/resource_ids.h"
#include "ymodem/sender.h"

namespace {
constexpr char kImageFilter[] = "Bin Files(*.bin)|*.bin|all files(*.*)|*.*||";
}

void CQuorlinDlg::OnFileOpen() {
  if (m_bImageLocked) return;  // a job's image
  m_surface.Enable(ids::kUpdate, false);
  m_surface.Enable(ids::kAutoProgram, false);
  const std::optional<std::string> chosen =
      m_surface.ChooseFile(kImageFilter, m_strImagePath.Get());
  if (!chosen) return;
  m_strImagePath.Set(*chosen);
  const ImageLoadResult result = LoadImage();
  if (result.problem == ImageProblem::CannotOpen || result.problem == ImageProblem::Empty)
    m_surface.MessageBox(result.message);
}

std::string CQuorlinDlg::TooLargeForChargerText(const std::string& image, uint32_t size) {
  return "The firmware image '" + image + "' is " + std::to_string(size) +
         " bytes, but the charger holds at most " + std::to_string(kImageBufferSize) + " bytes.";
}

ImageLoadResult CQuorlinDlg::JudgeImage(const std::string& path, uint32_t size) {
  if (size == 0) return {ImageProblem::Empty, "The firmware file '" + path + "' is empty."};
  const std::string name = BaseName(path);
  if (IsValidImage(name, size)) {
    if (size > kImageBufferSize)
      return {ImageProblem::TooLargeForCharger, TooLargeForChargerText(path, size)};
    return {};
  }
  if (!NameLooksLikeImage(name))
    return {ImageProblem::BadName,
            "'" + path + "' is not a firmware image: its name must contain \"bin\" or \"BIN\"."};
  return {ImageProblem::TooLarge, "'" + path + "' is " + std::to_string(size) +
                                      " bytes; a firmware image is at most " +
                                      std::to_string(kImageSizeLimit - 1) + " bytes."};
}

void CQuorlinDlg::RunJob(const std::string& name, const std::string& path) {
  m_jobName = name;
  m_strImagePath.Set(path);
  m_bImageLocked = 1;
}

ImageLoadResult CQuorlinDlg::LoadImage(bool remember) {
  const std::string path = m_strImagePath.Get();
  ImageRead read = ReadImageFile(path);
  if (!read.ok) return {ImageProblem::CannotOpen, read.error};

  const std::string name = BaseName(path);
  const auto size = static_cast<uint32_t>(read.bytes.size());
  auto image = std::make_shared<const std::vector<uint8_t>>(std::move(read.bytes));
  m_strImageName.Set(name);
  m_nImageSize = size;
  {
    std::lock_guard lock(m_imageMutex);
    m_pImageData = image;
  }
  const ImageLoadResult result = JudgeImage(path, size);
  if (result.problem == ImageProblem::Empty) {
    m_bImageValid = 0;
    return result;
  }
  m_bImageLoaded = 1;

  if (result.problem == ImageProblem::None || result.problem == ImageProblem::TooLargeForCharger) {
    m_bImageValid = 1;
    if (remember && !m_options.configPath.empty()) {
      std::string error;
      if (!WriteProfileString(m_options.configPath, "File", "Path", path, &error))
        m_surface.MessageBox(error);
    }
    if (m_bRecognised) EnableUpdate(true);
    m_surface.Enable(ids::kAutoProgram, true);
  } else {
    m_bImageValid = 0;
  }

  m_surface.SetText(ids::kImageVersion, VersionLabelText(*image));
  m_surface.SetText(ids::kImageSize, SizeLabelText(size));
  m_surface.SetText(ids::kImageFirmwareName, FirmwareNameLabelText(name));
  m_surface.SetText(ids::kImageName, NameLabelText(name));
  return result;
}
