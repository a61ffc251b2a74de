#pragma once

#include <functional>

// Runs move() and, while it fails because a file is still held (access
// denied, sharing or lock violation: a virus scanner, or a process whose
// image is released a moment after it ended), runs it again every 100 ms
// for up to 2 seconds. Any other error fails at once. On failure the
// thread's last error is that of the last attempt.
bool RetryWhileFileHeld(const std::function<bool()>& move);
