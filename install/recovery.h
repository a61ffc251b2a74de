#pragma once

#include <functional>
#include <string>

#include "install/install_plan.h"
#include "install/transaction.h"

// What the start of the program found of an update that was stopped (a
// killed process, a logoff, a power cut; see transaction.h for what is on
// disk when) in the working directory.
enum class RecoveryOutcome {
    NothingToRecover, // no journal
    Recovered,        // the install is whole again, old or new; the journal is gone
    StillRunning,     // another process holds the journal or its draft: its update runs
    NotRecovered,     // reported; the journal stays for the next start
    Stuck,            // the same, where it can be neither undone nor finished
};

// Finishes what a stopped update left: a draft of a journal, whose update
// had touched nothing yet, is removed; an update whose moves had not all
// finished is undone, one whose moves had is completed, and either way its
// staging files and journal are removed (see SettleUpdate). Says in one
// log line what was recovered. A journal that cannot be read whole, or
// that names anything an update of this program could not have made, is
// reported and left alone. With mayWait, a file held for a moment (a
// scanner) is waited for; without, a held file leaves the rest to the next
// start at once.
RecoveryOutcome RecoverInterruptedUpdate(bool mayWait = true);

// Matches a stopped update's plan with where its content can be read again
// (the archive given to run mode 2): fills plan.reads with the entry that
// brings each file's content, or says in why what does not match.
using ContentMatch = std::function<bool(InstallPlan& plan, std::string& why)>;

// Finishes the update that was stopped here and is Stuck, where all that
// stands in the way is new content that source has again: every file whose
// content is neither in place nor whole in its temporary file, and whose
// target is still what the update was to replace, gets it written there
// from source, and the update is then settled as at a start (finished says
// whether it went forward). Where match fails, or something else stands in
// the way, nothing changes, and the log says so and that deleting the
// journal lets a new update start.
RecoveryOutcome CompleteInterruptedUpdate(const ContentMatch& match, const ContentSource& source,
                                          bool& finished);
