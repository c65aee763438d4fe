#include "res/dialog_templates.h"

#include "res/resource_ids.h"

namespace {

using namespace style;

// Template order is load-bearing: the status line must be the first ID -1 control, because
// the status panel addresses it by that generic ID.
const ControlTemplate kMainControls[] = {
    {ids::kOk, ControlKind::DefPushButton, "Cancel", false, 432, 318, 25, 8, 0},
    {ids::kLogEdit, ControlKind::Edit, "", false, 276, 114, 216, 150,
     kMultiLine | kVScroll | kAutoHScroll | kTransparent | kBorder},
    {ids::kUpdate, ControlKind::PushButton, "Update", true, 57, 284, 64, 18, 0},
    {ids::kExecute, ControlKind::PushButton, "Execute", false, 456, 330, 32, 9, kNoTabStop},
    {ids::kSetMbid, ControlKind::PushButton, "SetMBID", false, 462, 318, 28, 11, 0},
    {ids::kUnusedEdit1013, ControlKind::Edit, "", false, 318, 270, 174, 36, kAutoHScroll | kBorder},
    {ids::kProgress, ControlKind::Progress, "", true, 45, 308, 211, 12, kBorder},
    {ids::kPercent, ControlKind::Static, "0%", true, 225, 290, 23, 8, 0},
    {ids::kGetInfo, ControlKind::PushButton, "GetInfo", false, 402, 318, 28, 10, 0},
    {ids::kUnusedEdit1019, ControlKind::Edit, "", false, 444, 330, 31, 12, kAutoHScroll | kBorder},
    {ids::kChargerLine, ControlKind::Static, "No charger connected.", true, 44, 52, 220, 10, 0},
    {ids::kSessionLabel, ControlKind::Static, "Programming", false, 126, 290, 84, 8, 0},
    {ids::kPortCombo, ControlKind::ComboBox, "", false, 432, 306, 42, 14, kDropDown | kVScroll},
    {ids::kImageSize, ControlKind::Static,
     "Size :                                          - - / - -", true, 45, 157, 172, 8, 0},
    {ids::kSearchAgain, ControlKind::PushButton, "Search Again", false, 276, 294, 36, 12, 0},
    {ids::kOpen, ControlKind::PushButton, "Open...", true, 171, 176, 63, 17, 0},
    {ids::kUnusedEdit57616, ControlKind::Edit, "", false, 276, 330, 126, 12,
     kAutoHScroll | kBorder},
    {ids::kImageName, ControlKind::Static, "Name :                                      - - / - -",
     true, 45, 144, 217, 9, 0},
    {ids::kAutoProgram, ControlKind::PushButton, "Enable AutoProgram", false, 276, 282, 36, 12, 0},
    {ids::kStatic, ControlKind::Static, "The updater is searching... ", true, 277, 307, 89, 8, 0},
    {ids::kChargerVersion, ControlKind::Static, "Firmware version :                   - - / - -",
     true, 44, 82, 199, 10, 0},
    {ids::kCountLine, ControlKind::Static, "result", true, 277, 319, 125, 8, 0},
    {ids::kStatic, ControlKind::Static, "File to program:", false, 318, 31, 75, 14, 0},
    {ids::kStatic, ControlKind::GroupBox, "Updating on charger", true, 36, 239, 230, 91, 0},
    {ids::kStatic, ControlKind::GroupBox, "Charger", true, 35, 37, 231, 62, 0},
    {ids::kStatic, ControlKind::GroupBox, "Firmware file", true, 35, 130, 231, 71, 0},
    {ids::kResetCounters, ControlKind::PushButton, "Reset", false, 276, 270, 36, 12, 0},
    {ids::kHintLine, ControlKind::Static, "Connect your charger to this PC with USB cable. ", true,
     39, 21, 211, 10, 0},
    {ids::kDownloadHint, ControlKind::Static,
     "Download the latest firmware from - - - -                                         or open "
     "it.",
     true, 39, 106, 192, 22, 0},
    {ids::kDownload, ControlKind::PushButton, "Download...", true, 57, 175, 64, 18, 0},
    {ids::kChargerSerial, ControlKind::Static, "Serial number :                         - - / - -",
     true, 44, 68, 218, 10, 0},
    {ids::kUpdateHint, ControlKind::Static,
     "Once the charger has been recognised, click 'Update' to launch the loaded firmware on your "
     "charger.   ",
     true, 38, 214, 217, 21, 0},
    {ids::kStep1, ControlKind::Static, "1", true, 16, 20, 11, 9, 0},
    {ids::kImageFirmwareName, ControlKind::Static, "Firmware  name :                    - - / - -",
     true, 44, 255, 218, 8, 0},
    {ids::kImageVersion, ControlKind::Static, "Firmware version :                  - - / - -", true,
     44, 268, 220, 8, 0},
    {ids::kStep2, ControlKind::Static, "2", true, 15, 110, 10, 9, 0},
    {ids::kStep3, ControlKind::Static, "3", true, 15, 216, 11, 13, 0},
    {ids::kStatic, ControlKind::Picture, "140", true, 288, 23, 199, 81, kRightAlign},
};

const DialogTemplate kMainDialog{
    ids::kMainDialog, "Charger Firmware Updater v1.2", 507, 353, "Arial", 9, kMainControls};

const ControlTemplate kAboutControls[] = {
    {ids::kStatic, ControlKind::Icon, "128", true, 15, 16, 20, 20, 0},
    {ids::kStatic, ControlKind::Static, "Brelka Charger Programmer", true, 40, 10, 119, 8,
     kNoPrefix | kGroup},
    {ids::kOk, ControlKind::DefPushButton, "OK", true, 178, 7, 50, 16, kGroup},
};

const DialogTemplate kAboutDialog{ids::kAboutDialog, "About Charger Programmer", 235, 55, "宋体", 9,
                                  kAboutControls};

const int kServiceControls[] = {
    ids::kLogEdit,      ids::kSearchAgain,    ids::kAutoProgram,    ids::kResetCounters,
    ids::kSessionLabel, ids::kExecute,        ids::kSetMbid,        ids::kGetInfo,
    ids::kPortCombo,    ids::kUnusedEdit1013, ids::kUnusedEdit1019, ids::kUnusedEdit57616,
};

}  // namespace

std::span<const int> ServiceControlIds() {
  return kServiceControls;
}

const DialogTemplate& MainDialogTemplate() {
  return kMainDialog;
}

const DialogTemplate& AboutDialogTemplate() {
  return kAboutDialog;
}

const ControlTemplate* FindControl(const DialogTemplate& dialog, int id) {
  for (const ControlTemplate& control : dialog.controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

const char* LoadResourceString(int id) {
  if (id == ids::kAboutMenuString) return "About Charger Programmer(&A)...";
  return "";
}
