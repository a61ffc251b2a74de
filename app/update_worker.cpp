#include "app/update_worker.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "diag/report.h"
#include "update/run_update.h"

namespace {

void ShowFailedResult(int result)
{
    Report(g_log, "Error code: [%d]", result);
    char text[64] = {};
    snprintf(text, sizeof text, "An error occured.\nError code: %d", result);
    MessageBoxA(nullptr, text, "Torvik Vestrel", MB_ICONERROR | MB_OK);
}

void SignalCompletion(const WorkerRecord& record)
{
    std::lock_guard<std::mutex> lock(*record.mutex);
    *record.finished = true;
    record.done->notify_all();
}

} // namespace

DWORD WINAPI UpdateWorker(LPVOID parameter)
{
    std::unique_ptr<WorkerRecord> record(static_cast<WorkerRecord*>(parameter));
    // The window's thread waits for the signal below: nothing may skip it.
    try {
        const int result = RunUpdate(__argc, __argv);
        if (result != 1)
            ShowFailedResult(result);
    } catch (...) {
        Report(g_log, "Unexpected failure: %s", "the update stopped with an unknown error");
    }
    SignalCompletion(*record);
    return 0;
}
