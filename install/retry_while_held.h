#pragma once

#include <functional>

// How long a file call waits while another program holds the file.
enum class Patience {
    // Not at all: run mode 1 starts its program at once, and what is held
    // is left to the next start.
    None,
    // 2 seconds, for a file the player had that a program has open: one
    // that has just ended may release its image a moment later, one that
    // runs on will not let go within a minute either.
    InUse,
    // 60 seconds, for a file that has just appeared (one this program or an
    // update before it wrote, the patcher's download): virus scanners hold
    // each new file while they look it up, 10 seconds by default in a
    // common product and up to 50 seconds more for a sample upload.
    NewFile,
};

// Runs attempt() and, while it fails because a file is held (access
// denied, sharing or lock violation, or for folders a name whose deletion
// waits for its holder: see alsoHeld), runs it again every 100 ms until the
// patience is spent. Any other error fails at once. A wait for a new file
// that goes on past a second is logged once. On failure the thread's last error is that
// of the last attempt.
bool RetryWhileFileHeld(Patience patience, const std::function<bool()>& attempt,
                        unsigned long alsoHeld = 0);
