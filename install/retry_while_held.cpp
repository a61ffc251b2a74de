#include "install/retry_while_held.h"

#include <windows.h>

#include <chrono>
#include <thread>

namespace {

bool IsFileHeldError(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

} // namespace

bool RetryWhileFileHeld(const std::function<bool()>& move)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(2);
    for (;;) {
        if (move())
            return true;
        const DWORD error = GetLastError();
        if (!IsFileHeldError(error) || Clock::now() >= giveUp) {
            SetLastError(error);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
