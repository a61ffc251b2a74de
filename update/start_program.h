#pragma once

// Starts path as a detached process and forgets it. commandLine may be
// null (the program then gets its own path) and must otherwise be
// writable; workingDirectory may be null (this process's is inherited).
// A failure is printed to standard output and nothing else.
void StartProgram(const wchar_t* path, wchar_t* commandLine, const wchar_t* workingDirectory);
