#pragma once

#include <string>

#include "diag/unique_handle.h"
#include "install/install_plan.h"

// The journal: the plan of the update that is changing the install, and
// how far it got, in kJournalName in the working directory. The update
// keeps it open without sharing from before its first file is written
// until it is deleted, after the update is complete or undone; so a
// journal that can be opened alone belongs to an update that was stopped.
//
// It is UTF-8 text, one record a line, fields separated by tabs:
//   vestrel journal 1
//   token <token>
//   dir <folder to make>                        (outermost first)
//   file <target> <temporary file> <kept file>  (kept empty for a new file)
//   end <CRC-32 of every byte above, 8 hex digits>
//   moving                                      (before the first move)
//   moved                                       (after the last move)

enum class JournalPhase {
    Staging, // new content is being written beside the targets
    Moving,  // files are being put in place
    Moved,   // every file is in place; only the kept files are left
};

// Creates the journal alone, writes the whole plan and makes it durable.
// Invalid when it cannot (reported): another update's journal is there.
UniqueHandle BeginJournal(const InstallPlan& plan);

// Records that the update entered phase (Moving or Moved), durably.
bool RecordPhase(HANDLE journal, JournalPhase phase);

// Deletes the journal through its own handle, then closes it.
void DeleteJournal(UniqueHandle& journal);

enum class JournalState {
    None,       // no journal: no update was stopped here
    Busy,       // another process holds it: its update is still running
    Unreadable, // not read whole, or not a journal this program wrote: why says
    Read,
};

// Opens the journal in the working directory alone and reads it into plan
// (whose root StartPlan has set) and phase. Every name must be one an
// update could have made: in the normal form of an install name, and the
// staging names those of the journal's own token and place.
JournalState ReadJournal(InstallPlan& plan, JournalPhase& phase, UniqueHandle& journal,
                         std::string& why);
