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

// Where a folder of the plan is made, in its parent once that has its own
// name: "~vestrel-<token>-<n>.dir", padded to no less than the folder's own
// name (FAT keeps a file's id through a rename that does not lengthen its
// name). So a folder is the update's by its name until its id is on record
// and PutFoldersInPlace renames it, empty.
std::wstring StagedFolderName(const InstallPlan& plan, size_t index);

// Once the journal records the folders made (made, their indexes), gives
// each its own name. False with the failing folder's name when one cannot
// be renamed (reported).
bool PutFoldersInPlace(const InstallPlan& plan, const std::vector<size_t>& made,
                       std::string& failedName);

// Where a volume without hard links gets its copy of a kept file until the
// copy is whole: beside the file's temporary one.
std::wstring CopyName(const PlannedFile& file);

// Deletes name, which must be proven the update's, if it is there: read-only
// or not. A file already gone counts as deleted. False when it cannot be
// deleted (reported).
bool DeleteIfThere(const InstallPlan& plan, const std::wstring& name, Patience patience);

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

// Ends an update whose files are all in place: "moved" is recorded, the
// kept files are removed and the journal is deleted. False when "moved"
// cannot be recorded: the update may then be on disk as done, so nothing
// is undone; the journal and the kept files stay, and the next start
// settles the install from what is on disk, to the old files or the new,
// each whole.
bool CompleteUpdate(const InstallPlan& plan, UniqueHandle& journal);
