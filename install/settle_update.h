#pragma once

#include "install/install_plan.h"
#include "install/journal_format.h"
#include "install/retry_while_held.h"

// Settling an update that did not end as planned: undone, or finished where
// it cannot be undone, from what is on disk and its journal alone, changing
// only what is proven the update's.

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
// and only its temporary and kept files are removed. Only what is proven
// the update's is changed, read-only or not: docs/transaction.md says how
// each file and folder is proven. Safe to repeat after it was stopped
// itself. An undo stops at its first held file, since files are put back
// newest first. patience is for the files that others hold.
SettleOutcome SettleUpdate(const InstallPlan& plan, JournalPhase phase,
                           Patience patience = Patience::NewFile, bool* finished = nullptr);

// What finishing a stopped update needs for file: nothing, as its new
// content is in place, or whole in its temporary file beside a target that
// is what the update was to replace; that content again (Missing), where
// it is neither, and the target is still what the update was to replace;
// or something else stands in the way.
enum class ContentNeed { AtHand, Missing, InTheWay };
ContentNeed NewContentNeed(const InstallPlan& plan, const PlannedFile& file);

// Whether the install is whole after an outcome: Settled or LeftSomeAlone.
bool IsSettled(SettleOutcome outcome);
