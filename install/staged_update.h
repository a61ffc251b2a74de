#pragma once

#include <string>

#include "diag/unique_handle.h"
#include "install/install_plan.h"
#include "install/journal.h"

// The file work of one planned update: the new content is written beside
// each target, then every file is moved into place, each replaced file kept
// until the update is complete. Every step can be undone from what is on
// disk and the plan alone, so the same calls finish an update that was
// stopped half way, however far it got.

// Creates file's temporary file, new and alone. Invalid on failure, with
// the failed call reported.
UniqueHandle CreateTempFile(const InstallPlan& plan, const PlannedFile& file);

// Moves every file into place in the plan's order, keeping each file it
// replaces under its kept name. On failure, false with the failing file's
// name; the failed call is reported, and what was done stays until
// SettleUpdate undoes it.
bool MoveIntoPlace(const InstallPlan& plan, std::string& failedName);

// Brings the install to a whole state and removes what the update left. An
// update that had not finished its moves (Staging, Moving) is undone: every
// replaced file put back, every new file, temporary and kept file and every
// folder it made removed. One that had (Moved) keeps its files, and only
// its temporary and kept files are removed. Safe to repeat after it was
// stopped itself. False when a file is still held after the retries: the
// failure is reported with the call and the file, and a later call goes on
// from there. An undo stops at its first failure, since files are put back
// newest first.
bool SettleUpdate(const InstallPlan& plan, JournalPhase phase);
