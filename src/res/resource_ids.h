#pragma once

// Control IDs of the main window and the About box.
namespace ids {
inline constexpr int kOk = 1;
inline constexpr int kStatic = -1;  // generic ID; a look-up finds the status line first
inline constexpr int kLogEdit = 1001;
inline constexpr int kUpdate = 1005;
inline constexpr int kExecute = 1006;
inline constexpr int kDownload = 1007;
inline constexpr int kSetMbid = 1012;
inline constexpr int kUnusedEdit1013 = 1013;
inline constexpr int kProgress = 1014;
inline constexpr int kPercent = 1015;
inline constexpr int kDownloadHint = 1016;
inline constexpr int kGetInfo = 1017;
inline constexpr int kUpdateHint = 1018;
inline constexpr int kUnusedEdit1019 = 1019;
inline constexpr int kChargerLine = 1020;
inline constexpr int kSessionLabel = 1021;
inline constexpr int kPortCombo = 1026;
inline constexpr int kHintLine = 1028;
inline constexpr int kSearchAgain = 1029;
inline constexpr int kAutoProgram = 1032;
inline constexpr int kCountLine = 1044;
inline constexpr int kChargerVersion = 1045;
inline constexpr int kResetCounters = 1046;
inline constexpr int kChargerSerial = 1047;
inline constexpr int kStep1 = 1049;
inline constexpr int kStep2 = 1050;
inline constexpr int kStep3 = 1051;
inline constexpr int kOpen = 57601;
inline constexpr int kUnusedEdit57616 = 57616;
inline constexpr int kImageName = 57617;
inline constexpr int kImageSize = 57618;
inline constexpr int kImageFirmwareName = 57619;
inline constexpr int kImageVersion = 57620;

inline constexpr int kMainDialog = 102;
inline constexpr int kAboutDialog = 100;
inline constexpr int kAppIcon = 128;
inline constexpr int kLogoBitmap = 140;
inline constexpr int kAboutMenuString = 101;
inline constexpr int kAboutCommand = 16;
inline constexpr int kWatchdogTimer = 1;
}  // namespace ids
