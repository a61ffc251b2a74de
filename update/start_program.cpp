#include "update/start_program.h"

#include <windows.h>

#include "diag/report.h"

void StartProgram(const wchar_t* path, wchar_t* commandLine, const wchar_t* workingDirectory)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path, commandLine, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        workingDirectory, &startup, &process)) {
        Print("CreateProcess failed (%lu).\n", GetLastError());
        return;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}
