#pragma once

// What the start of the program found of an update that was stopped (a
// killed process, a logoff, a power cut; see transaction.h for what is on
// disk when) in the working directory.
enum class RecoveryOutcome {
    NothingToRecover, // no journal
    Recovered,        // the install is whole again, old or new; the journal is gone
    StillRunning,     // another process holds the journal or its draft: its update runs
    NotRecovered,     // reported; the journal stays for the next start
};

// Finishes what a stopped update left: a draft of a journal, whose update
// had touched nothing yet, is removed; an update whose moves had not all
// finished is undone, one whose moves had is completed, and either way its
// staging files and journal are removed (see SettleUpdate). Says in one log line what was recovered.
// A journal that cannot be read whole, or that names anything an update of
// this program could not have made, is reported and left alone. With
// mayWait, a file held for a moment (a scanner) is waited for; without, a
// held file leaves the rest to the next start at once.
RecoveryOutcome RecoverInterruptedUpdate(bool mayWait = true);
