#pragma once

#include <string>

#include "diag/unique_handle.h"
#include "install/install_plan.h"
#include "install/retry_while_held.h"

// The journal: the plan of the update that is changing the install, and
// how far it got, in kJournalName in the working directory. The update
// keeps it open without sharing from before its first file or folder is
// touched until it is deleted, after the update is complete or undone; so
// a journal that can be opened alone belongs to an update that was stopped.
//
// The plan is written and flushed under kJournalDraftName first and only
// then renamed, so a journal under its own name always holds a whole plan,
// and a draft was stopped before anything was touched.
//
// It is UTF-8 text, one record a line, fields separated by tabs:
//   vestrel journal 2
//   token <token>
//   dir <folder to make>                      (outermost first)
//   file <target> <temporary file> <kept file> <size> <CRC-32> <kept is>
//   end <CRC-32 of every byte above, 8 hex digits>
//   made <folder id>... <CRC-32 of the record>  (each level of folders made)
//   kept <copy>... <CRC-32 of the record>       (with "moving", if any copies)
//   moving                                    (before the first move)
//   moved                                     (after the last move)
// <size> and <CRC-32> are the new content's; <kept is> is empty for a new
// file, "<size>:<last-write time>" (16 hex digits) for the file the update
// found there, and "=<n>" where file record n, an earlier entry for the
// same file, brings what is kept. A folder id is FolderId's, or "-" for a
// folder the update did not make. <copy> is, for each file record in
// order, the CRC-32 (8 hex digits) of the copy this program made of the
// file it keeps, on a volume without hard links, or "-".

enum class JournalPhase {
    Staging, // new content is being written beside the targets
    Moving,  // files are being put in place
    Moved,   // every file is in place; only the kept files are left
};

enum class JournalStart {
    Begun,
    InTheWay,   // another update's journal or draft is there (reported)
    NotWritten, // the journal cannot be written here (the failed call is reported)
};

// Writes the whole plan durably under the draft name, then gives it the
// journal's name, durably too, through the handle that stays open.
JournalStart BeginJournal(const InstallPlan& plan, UniqueHandle& journal);

// Records, durably, the folders of the plan that the update has made so far.
bool RecordMadeFolders(HANDLE journal, const InstallPlan& plan);

// Records that the update entered phase (Moving or Moved), durably; with
// Moving goes what identifies the copies made of the files it keeps.
bool RecordPhase(HANDLE journal, const InstallPlan& plan, JournalPhase phase);

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

// Opens the journal in the working directory alone and reads it into plan
// (whose root StartPlan has set) and phase. Every name must be one an
// update could have made: in the normal form of an install name, and the
// staging names those of the journal's own token and place. A journal held
// for a moment (a scanner) is waited for with patience.
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
