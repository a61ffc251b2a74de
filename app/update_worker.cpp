#include "app/update_worker.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "diag/message_box.h"
#include "diag/report.h"
#include "update/result_codes.h"
#include "update/run_update.h"

namespace {

void ShowFailedResult(int result)
{
    Report(g_log, "Error code: [%d]", result);
    char text[64] = {};
    snprintf(text, sizeof text, "An error occured.\nError code: %d", result);
    ShowErrorBox(text);
}

} // namespace

void SignalCompletion(const WorkerRecord& record)
{
    std::lock_guard<std::mutex> lock(*record.mutex);
    *record.finished = true;
    record.done->notify_all();
}

void WaitForCompletion(const WorkerRecord& record, std::unique_lock<std::mutex>& lock)
{
    bool* finished = record.finished;
    record.done->wait(lock, [finished] { return *finished; });
}

// Windows calls this: nothing may leave it. The 32-bit build cannot unwind
// an exception through the system's thread start, and the process would end
// without a word.
DWORD WINAPI UpdateWorker(LPVOID parameter)
{
    std::unique_ptr<WorkerRecord> record(static_cast<WorkerRecord*>(parameter));
    try {
        const int result = RunUpdate(__argc, __argv);
        if (result != kDone)
            ShowFailedResult(result);
    } catch (...) {
        Report(g_log, "Unexpected failure: %s", "the update stopped with an unknown error");
    }
    // The window's thread waits for this signal; if it cannot be given, the
    // process ends here rather than wait for ever.
    try {
        SignalCompletion(*record);
    } catch (...) {
        Report(g_log, "Unexpected failure: %s", "the update could not say that it has finished");
        ExitProcess(0);
    }
    return 0;
}
