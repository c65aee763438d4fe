#pragma once

// What every program of the updater exits with; scripts and the conductor rely on these.
inline constexpr int kExitOk = 0;
inline constexpr int kExitProgramFailed = 1;  // also: a window's screenshot could not be saved
inline constexpr int kExitUsage = 2;          // also: an image or a record file that is refused
inline constexpr int kExitNoCharger = 3;
inline constexpr int kExitInterrupted = 130;  // Ctrl-C (128 + SIGINT)
inline constexpr int kExitTerminated = 143;   // SIGTERM (128 + SIGTERM)
