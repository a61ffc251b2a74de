#pragma once

// Every outcome of a run is one of these codes. The direct run modes (0 and
// 1) and the argument errors end with the code as exit code; the windowed
// run modes log a code other than kDone and show it in a box.
constexpr int kDone = 1;
constexpr int kReplacementMissing = 2;     // run mode 0: no "<stem>_new.exe"
constexpr int kSwapFailed = 3;             // run mode 0: the move into place failed
constexpr int kSwapArgumentCount = 4;      // run mode 0: not exactly three arguments
constexpr int kLaunchArgumentCount = 5;    // run mode 1: fewer than three arguments
constexpr int kRunModeNotANumber = 6;      // argv[1] is not a whole decimal number
constexpr int kUnpackFailed = 7;           // run mode 2: the install is as before, or is
                                           // put back by the next start
constexpr int kWindowedArgumentCount = 8;  // run mode 2 and the restart modes: too few arguments
constexpr int kNoArgument = 9;             // nothing after the program's path
constexpr int kUnexpectedFailure = 10;     // a failure with no code of its own; the log says which
