#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "res/dialog_templates.h"

// The template as an in-memory DLGTEMPLATEEX for DialogBoxIndirectParamW: Windows lays it out
// in dialog units of its own font, exactly as a compiled resource would be.
// A face the system lacks is replaced by the system's dialog font, so the text is drawn in a font
// that has its characters rather than in whatever the font mapper picks.
std::vector<WORD> BuildDialogTemplate(const DialogTemplate& dialog, DWORD dialogStyle);

// Whether the system has a font of this face.
bool FontInstalled(const std::string& face);

// The template's point size, or a smaller one down to 6 points when the window it makes would
// not fit the primary monitor's work area (large scaling on a small screen).
int FittingFontPoints(const DialogTemplate& dialog, DWORD dialogStyle);
