#pragma once

// Windows only: a Win32 error code (GetLastError) as the errno value the file operations
// report, so every platform says a failure in the same words.
namespace file_io {
int ErrnoOf(unsigned long windowsError);
}
