#pragma once

#include <string>
#include <vector>

#include "diag/unique_handle.h"
#include "install/install_plan.h"
#include "install/journal.h"
#include "install/retry_while_held.h"

// The file work of one planned update: the new content is written beside
// each target, every file to be replaced is kept under its kept name, then
// every file is moved into place; each replaced file stays kept until the
// update is complete. Every step can be undone from what is on disk and the
// journal alone, so the same calls finish an update that was stopped half
// way, however far it got.

// Where each folder of the plan is made: one whose parent is there already
// under a staging name of its own in that parent ("~vestrel-<token>-<n>.dir",
// padded to no less than the folder's own name: FAT keeps a file's id
// through a rename that does not lengthen its name), and one inside such a
// folder under its own name there. So a folder is the update's by its name
// until its id is on record and PutFoldersInPlace renames it.
std::wstring StagedFolderName(const InstallPlan& plan, size_t index);
std::vector<std::wstring> StagedFolderPaths(const InstallPlan& plan);

// Once the journal records the folders made, gives each its own name. False
// with the failing folder's name when one cannot be renamed (reported).
bool PutFoldersInPlace(const InstallPlan& plan, std::string& failedName);

// Creates file's temporary file, new and alone. Invalid on failure, with
// the failed call reported.
UniqueHandle CreateTempFile(const InstallPlan& plan, const PlannedFile& file);

// Keeps every file the plan found and replaces, before any is replaced: a
// second name for it where the volume has hard links, else a copy this
// program makes, noted in the plan (keptAsCopy) for the journal's "moving"
// record. Each must still be the one the plan found, unheld, writable and
// no link. On failure, false with the failing file's name; the failure is
// reported, and what was done stays until SettleUpdate undoes it.
bool KeepReplacedFiles(InstallPlan& plan, std::string& failedName);

// After KeepReplacedFiles and the journal's "moving": moves every file into
// place in the plan's order; where an earlier entry named the same file,
// its content is kept first. Fails as KeepReplacedFiles does.
bool MoveIntoPlace(const InstallPlan& plan, std::string& failedName);

enum class SettleOutcome {
    Settled,       // whole again, and what the update left is removed
    LeftSomeAlone, // the same, but what the plan names and is not the
                   // update's (other content, another stamp, a folder it
                   // did not make) is left as it is, each one logged
    Blocked,       // a file is still held after the retries: reported with
                   // the call and the file; a later call goes on from there
    Stuck,         // stopped while moving, it can be neither undone nor
                   // finished: nothing is changed, and every file that stands
                   // in the way is logged
};

// Brings the install to a whole state and removes what the update left. An
// update that had not finished its moves (Staging, Moving) is undone: every
// replaced file put back, every new file, temporary and kept file and every
// folder it made removed. One stopped while moving that cannot be undone,
// since what a file replaced is gone, is finished instead where every new
// content is at hand (finished says so); where neither can be done, nothing
// changes (Stuck). One that had finished its moves (Moved) keeps its files,
// and only its temporary and kept files are removed. A file that is proven
// the update's goes, or is replaced, read-only or not. Only what is proven the
// update's is changed: a new file is removed, and a kept file put back,
// only where the target holds the entry's size and CRC-32; a kept file
// is put back or removed only when it is the file the update kept (or,
// while its target is not yet replaced, holds exactly what the target
// does); a folder is removed only when it is the one the update made and
// holds nothing else. Safe to repeat after it was stopped itself. An undo
// stops at its first held file, since files are put back newest first.
// patience is for the files that others hold.
SettleOutcome SettleUpdate(const InstallPlan& plan, JournalPhase phase,
                           Patience patience = Patience::NewFile, bool* finished = nullptr);

// Settles the update as SettleUpdate does and deletes its journal; what
// cannot be done yet is left to the next start, with the journal.
void SettleAndCloseJournal(const InstallPlan& plan, JournalPhase phase, UniqueHandle& journal);

// Ends an update whose files are all in place: "moved" is recorded, the
// kept files are removed and the journal is deleted. False when "moved"
// cannot be recorded: the update may then be on disk as done, so nothing
// is undone; the journal and the kept files stay, and the next start
// settles the install from what is on disk, to the old files or the new,
// each whole.
bool CompleteUpdate(const InstallPlan& plan, UniqueHandle& journal);
