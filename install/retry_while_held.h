#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "diag/unique_handle.h"

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

// Why Windows answers "access denied" (error 5) about a file or folder,
// which only sometimes means that another program holds it.
enum class Denial {
    Held,          // a program holds it: a running program's image, say
    DeletePending, // deleted, and still held by a program that shares deletion
    ReadOnly,      // its read-only attribute (a folder's too): no wait ends that
    NotAllowed,    // this Windows user may not write or delete it (its rights,
                   // Controlled Folder Access), or a folder stands where a
                   // file is wanted
    Gone,          // nothing is there (any more): a pending deletion that has
                   // just ended, or a name not yet made
};

// Opens path to write and to delete (a folder: to delete), sharing
// everything: allowed where this Windows user's rights allow it and no
// program holds it without sharing. A running program's image answers with
// a sharing violation.
UniqueHandle OpenToChange(const std::wstring& path, bool folder = false);

// Whether error says another program holds the file.
bool IsSharingViolation(DWORD error);

// Why access to path was denied just now. folder: a folder is what is
// expected there. The thread's last error is kept.
Denial WhyDenied(const std::wstring& path, bool folder = false);

// What a retry is about, beyond its patience.
struct HeldRules {
    unsigned long alsoHeld = 0; // another error that means held (a name whose
                                // deletion waits for its holder)
    bool folder = false;        // the subject is a folder
    bool players = false;       // the subject is the player's: a program that
                                // holds it is waited for as Patience::InUse,
                                // whichever error shows the hold
};

// Runs attempt() and, while it fails because subject (the file or folder
// whose state decides) is held, runs it again every 100 ms until the
// patience is spent: a sharing or lock violation, rules.alsoHeld, or an
// "access denied" that WhyDenied takes for a hold or a pending deletion.
// A read-only file, a folder where a file is wanted and a file this Windows
// user may not change fail at once, as any other error does; a subject gone
// since it was denied is tried once more. A wait for a
// new file that goes on past a second is logged once. On failure the
// thread's last error is that of the last attempt.
bool RetryWhileFileHeld(Patience patience, const std::wstring& subject,
                        const std::function<bool()>& attempt, const HeldRules& rules = HeldRules());
