#pragma once

#include <windows.h>

// The About box (template 100), modal over `owner`.
void ShowAboutBox(HWND owner);
