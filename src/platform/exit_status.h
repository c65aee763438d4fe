#pragma once

// What every program of the updater exits with; scripts and the conductor rely on these.
inline constexpr int kExitOk = 0;
inline constexpr int kExitProgramFailed = 1;  // also: a window's screenshot could not be saved
inline constexpr int kExitUsage = 2;          // also: an image or a record file that is refused
inline constexpr int kExitNoCharger = 3;
inline constexpr int kExitRefused = 4;         // a guard refused the charger; nothing was sent
inline constexpr int kExitRecordLost = 5;      // every session's result stands; a row was not kept
inline constexpr int kExitHangUp = 129;        // the terminal was closed (128 + SIGHUP)
inline constexpr int kExitInterrupted = 130;   // Ctrl-C (128 + SIGINT)
inline constexpr int kExitOutputClosed = 141;  // stdout's reader went away (128 + SIGPIPE)
inline constexpr int kExitTerminated = 143;    // SIGTERM (128 + SIGTERM)
