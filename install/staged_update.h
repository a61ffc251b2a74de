#pragma once

#include <string>

#include "diag/unique_handle.h"
#include "install/install_plan.h"
#include "install/retry_while_held.h"

// The file work of one planned update, a file at a time, in the order and
// under the records that transaction.h gives: the new content is written
// beside each target, every file to be replaced is kept under its kept
// name, then every file is moved into place. Each step leaves what is on
// disk such that the settling of settle_update.h can undo or finish it.

// Deletes name, which must be proven the update's, if it is there: read-only
// or not. A file already gone counts as deleted. False when it cannot be
// deleted (reported).
bool DeleteIfThere(const InstallPlan& plan, const std::wstring& name, Patience patience);

// Creates file's temporary file, new and alone. Invalid on failure, with
// the failed call reported.
UniqueHandle CreateTempFile(const InstallPlan& plan, const PlannedFile& file);

// Keeps the file that plan.files[index] replaces, if it is one the plan
// found: a second name for it where the volume has hard links, else a copy
// this program makes, noted in the plan (keptAsCopy) for the "kept" record.
// It must still be the one the plan found, unheld, writable and no link.
// False when it cannot be kept (reported); what was done stays until the
// update is settled.
bool KeepReplacedFile(InstallPlan& plan, size_t index);

// Moves file's new content into place; what it replaces must still be the
// file the plan found and kept. With writeThrough, the rename is on disk
// when this returns (MOVEFILE_WRITE_THROUGH). False when it cannot
// (reported).
bool MoveIntoPlace(const InstallPlan& plan, const PlannedFile& file, bool writeThrough);
