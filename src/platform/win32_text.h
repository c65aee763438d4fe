#pragma once

#include <string>

// Text is UTF-8 inside the program and UTF-16 at the Win32 boundary.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
// The system's own words for a Windows error code (GetLastError), without the line break.
std::string WindowsErrorText(unsigned long error);
