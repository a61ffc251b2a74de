#pragma once

#include <windows.h>

#include <string>

#include "diag/unique_handle.h"
#include "install/install_plan.h"
#include "install/journal_format.h"
#include "install/retry_while_held.h"

// The journal on disk: kJournalName in the working directory, holding the
// text of journal_format.h. The update keeps it open without sharing from
// before its first file or folder is touched until it is deleted, after
// the update is complete or undone; so a journal that can be opened alone
// belongs to an update that was stopped.
//
// The plan is written and flushed under kJournalDraftName first and only
// then renamed, so a journal under its own name always holds a whole plan,
// and a draft was stopped before anything was touched. What the update
// does and records after that, phase by phase, is in transaction.h.

enum class JournalStart {
    Begun,
    InTheWay,   // another update's journal or draft is there (reported)
    NotWritten, // the journal cannot be written here (the failed call is reported)
};

// Writes the whole plan durably under the draft name, then gives it the
// journal's name, durably too, through the handle that stays open.
JournalStart BeginJournal(const InstallPlan& plan, UniqueHandle& journal);

// Appends one record (journal_format.h) to the open journal and flushes it
// to disk. False when either fails (reported, with what the record says).
bool AppendRecord(HANDLE journal, const std::string& record, const char* what);

// Logs that the journal stays for the next start, which will settle the
// update, and closes it.
void KeepJournalForNextStart(UniqueHandle& journal);

// Deletes the journal through its own handle, then closes it. False when
// it cannot be deleted (reported).
bool DeleteJournal(UniqueHandle& journal);

enum class JournalState {
    None,       // no journal: no update was stopped here
    Busy,       // another process holds it: its update is still running
    Unreadable, // not read whole, or not a journal this program wrote: why says
    Read,
};

// Opens the journal in the working directory alone and reads it (see
// ParseJournal) into plan, whose root StartPlan has set, and phase. A
// journal held for a moment (a scanner) is waited for with patience.
JournalState ReadJournal(InstallPlan& plan, JournalPhase& phase, UniqueHandle& journal,
                         Patience patience, std::string& why);

enum class DraftState {
    None,
    Removed, // a draft left by an update stopped before it touched anything
    Busy,    // another update is writing its plan
    Failed,  // reported
};

// Removes the draft of a journal that an update stopped while writing.
DraftState RemoveJournalDraft(const InstallPlan& plan, Patience patience);
