#include "install/retry_while_held.h"

#include <windows.h>

#include <chrono>
#include <thread>

#include "diag/report.h"

namespace {

bool IsFileHeldError(DWORD error, DWORD alsoHeld)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION || (alsoHeld != 0 && error == alsoHeld);
}

std::chrono::milliseconds WaitFor(Patience patience)
{
    switch (patience) {
    case Patience::None:
        return std::chrono::milliseconds(0);
    case Patience::InUse:
        return std::chrono::seconds(2);
    case Patience::NewFile:
        break;
    }
    return std::chrono::seconds(60);
}

} // namespace

bool RetryWhileFileHeld(Patience patience, const std::function<bool()>& attempt,
                        unsigned long alsoHeld)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point giveUp = start + WaitFor(patience);
    bool told = false;
    for (;;) {
        if (attempt())
            return true;
        const DWORD error = GetLastError();
        const Clock::time_point now = Clock::now();
        if (!IsFileHeldError(error, alsoHeld) || now >= giveUp) {
            SetLastError(error);
            return false;
        }
        // The progress window does not answer meanwhile: the log says why
        // the update stands still.
        if (!told && patience == Patience::NewFile && now - start >= std::chrono::seconds(1)) {
            Report(g_log, "A file is held by another program (error %lu); waiting up to %lld "
                          "seconds for it.",
                   static_cast<unsigned long>(error),
                   static_cast<long long>(
                       std::chrono::duration_cast<std::chrono::seconds>(giveUp - start).count()));
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
