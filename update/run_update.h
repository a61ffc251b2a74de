#pragma once

// The whole work of one run, chosen by the run mode in argv[1]: waits for
// the named programs to end, swaps the executable (0), launches a program
// (1), unpacks the update archive (2) or just restarts (any other), and
// returns the result code (1 on success). Blocks for as long as the
// watched programs run. Never throws: unexpected failures become code 10.
int RunUpdate(int argc, char** argv);
