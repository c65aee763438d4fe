#pragma once

#include <span>

enum class ControlKind {
  PushButton,
  DefPushButton,
  Edit,
  Static,
  GroupBox,
  Progress,
  ComboBox,
  Picture,
  Icon
};

// Style bits beyond the kind.
namespace style {
inline constexpr unsigned kMultiLine = 1u << 0;
inline constexpr unsigned kVScroll = 1u << 1;
inline constexpr unsigned kAutoHScroll = 1u << 2;
inline constexpr unsigned kTransparent = 1u << 3;
inline constexpr unsigned kBorder = 1u << 4;
inline constexpr unsigned kNoTabStop = 1u << 5;
inline constexpr unsigned kRightAlign = 1u << 6;  // picture: right-aligned, own size
inline constexpr unsigned kNoPrefix = 1u << 7;    // static text without access-key processing
inline constexpr unsigned kGroup = 1u << 8;
inline constexpr unsigned kDropDown = 1u << 9;  // combo: drop-down list with edit field
}  // namespace style

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* caption;  // for pictures and icons: the resource number as text
  bool visible;
  int x, y, width, height;  // dialog units
  unsigned styles;
};

struct DialogTemplate {
  int id;
  const char* caption;
  int width, height;  // dialog units
  const char* fontFace;
  int fontPoints;
  std::span<const ControlTemplate> controls;
};

const DialogTemplate& MainDialogTemplate();   // 102
const DialogTemplate& AboutDialogTemplate();  // 100
// The first control with `id` in template order; ID -1 finds the status line.
const ControlTemplate* FindControl(const DialogTemplate& dialog, int id);
// What a technician needs that the operator's window hides; shown in service mode.
std::span<const int> ServiceControlIds();
// String table; empty when absent.
const char* LoadResourceString(int id);
