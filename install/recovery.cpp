#include "install/recovery.h"

#include <string>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/install_name.h"
#include "install/journal.h"
#include "install/staged_update.h"

RecoveryOutcome RecoverInterruptedUpdate()
{
    InstallPlan plan;
    if (!StartPlan(plan))
        return RecoveryOutcome::NotRecovered;
    JournalPhase phase = JournalPhase::Staging;
    UniqueHandle journal;
    std::string why;
    const std::string journalName = WideToUtf8(kJournalName);
    switch (ReadJournal(plan, phase, journal, why)) {
    case JournalState::None:
        return RecoveryOutcome::NothingToRecover;
    case JournalState::Busy:
        Report(g_log, "An update is running in this folder; its journal [%s] is left alone.",
               journalName.c_str());
        return RecoveryOutcome::StillRunning;
    case JournalState::Unreadable:
        Report(g_log, "Can't recover the update that was stopped here: its journal [%s] is left "
                      "alone, as %s.",
               journalName.c_str(), why.c_str());
        return RecoveryOutcome::NotRecovered;
    case JournalState::Read:
        break;
    }

    if (!SettleUpdate(plan, phase)) {
        Report(g_log, "Can't recover the update that was stopped here yet; its journal [%s] is "
                      "kept for the next start.",
               journalName.c_str());
        return RecoveryOutcome::NotRecovered;
    }
    DeleteJournal(journal);
    if (phase == JournalPhase::Moved)
        Report(g_log, "Recovered an update that was stopped here: it had put every file in place; "
                      "what it left beside them is removed.");
    else
        Report(g_log, "Recovered an update that was stopped here: every file it had changed is as "
                      "it was before.");
    return RecoveryOutcome::Recovered;
}
