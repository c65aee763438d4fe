#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include "platform/program_args.h"
#include "platform/win32_text.h"

// argv arrives in the ANSI code page, which cannot spell every file name; the wide command
// line can.
std::vector<std::string> ProgramArguments::Read(int argc, char** argv) {
  SetConsoleOutputCP(CP_UTF8);
  // gang's live table moves the cursor with VT sequences, which a console takes once asked.
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(err, &mode)) SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Narrow(wide[i]));
  LocalFree(wide);
  return args;
}
