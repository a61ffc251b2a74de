#include <windows.h>

#include <cstdlib>
#include <exception>

#include "app/progress_window.h"
#include "diag/log_file.h"
#include "diag/report.h"
#include "update/result_codes.h"
#include "update/run_update.h"

namespace {

int Dispatch(HINSTANCE instance, int showCommand)
{
    if (__argc < 2) {
        Report(g_log, "Error code: [%d]", kNoArgument);
        return kNoArgument;
    }
    // A whole decimal number: blanks and a sign before it, nothing after.
    const char* text = __argv[1];
    char* end = nullptr;
    const long runMode = strtol(text, &end, 10);
    if (end == text || *end != '\0') {
        Report(g_log, "Error code: [%d]", kRunModeNotANumber);
        return kRunModeNotANumber;
    }
    if (runMode == 0 || runMode == 1) {
        const int result = RunUpdate(__argc, __argv);
        Report(g_log, "Error code: [%d]", result);
        return result;
    }
    return RunWindowed(instance, showCommand);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    try {
        // First of all, so that every outcome below is logged.
        g_log = new LogFile();
        return Dispatch(instance, showCommand);
    } catch (const std::exception& error) {
        Report(g_log, "Unexpected failure: %s", error.what());
        return kUnexpectedFailure;
    } catch (...) {
        Report(g_log, "Unexpected failure: %s", "an unknown error");
        return kUnexpectedFailure;
    }
}
