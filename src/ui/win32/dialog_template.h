#pragma once

#include <windows.h>

#include <vector>

#include "res/dialog_templates.h"

// The template as an in-memory DLGTEMPLATEEX for DialogBoxIndirectParamW: Windows lays it out
// in dialog units of its own font, exactly as a compiled resource would be.
std::vector<WORD> BuildDialogTemplate(const DialogTemplate& dialog, DWORD dialogStyle);
