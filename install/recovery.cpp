#include "install/recovery.h"

#include <string>
#include <vector>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/install_name.h"
#include "install/journal_file.h"
#include "install/settle_update.h"
#include "install/staged_folders.h"
#include "install/staged_update.h"

namespace {

void ReportSettled(SettleOutcome settled, JournalPhase phase, bool finished)
{
    if (finished)
        Report(g_log, "Recovered an update that was stopped here by finishing it, as it could not "
                      "be undone: %s.",
               settled == SettleOutcome::LeftSomeAlone
                   ? "what it names that the update did not write is left as it is"
                   : "every file it changes holds its new content");
    else if (settled == SettleOutcome::LeftSomeAlone)
        Report(g_log, "Recovered an update that was stopped here as far as its journal is borne "
                      "out: what it names that the update did not write is left as it is.");
    else if (phase == JournalPhase::Moved)
        Report(g_log, "Recovered an update that was stopped here: it had put every file in place; "
                      "what it left beside them is removed.");
    else
        Report(g_log, "Recovered an update that was stopped here: every file it had changed is as "
                      "it was before.");
}

// Settles the update read from journal and deletes the journal, or keeps it
// for the next start where it cannot be settled yet.
RecoveryOutcome SettleAndEnd(const InstallPlan& plan, JournalPhase phase, UniqueHandle& journal,
                             Patience patience, bool* wentForward = nullptr)
{
    const std::string journalName = WideToUtf8(kJournalName);
    bool finished = false;
    const SettleOutcome settled = SettleUpdate(plan, phase, patience, &finished);
    if (wentForward)
        *wentForward = finished;
    if (settled == SettleOutcome::Stuck) {
        Report(g_log, "Can't recover the update that was stopped here: it can be neither undone nor "
                      "finished, so nothing is changed; its journal [%s] is kept.",
               journalName.c_str());
        return RecoveryOutcome::Stuck;
    }
    if (settled == SettleOutcome::Blocked) {
        Report(g_log, "Can't recover the update that was stopped here yet; its journal [%s] is "
                      "kept for the next start.",
               journalName.c_str());
        return RecoveryOutcome::NotRecovered;
    }
    // Settling again finds nothing left to do, so the next start can
    // delete the journal that this one could not.
    if (!DeleteJournal(journal)) {
        Report(g_log, "The update that was stopped here is settled, but its journal [%s] is not "
                      "gone; the next start deletes it.",
               journalName.c_str());
        return RecoveryOutcome::NotRecovered;
    }
    ReportSettled(settled, phase, finished);
    return RecoveryOutcome::Recovered;
}

// Writes again, from source, the new content of the plan's files marked
// missing, into their temporary files, with the folders on their way; the
// earlier entries for such a file are read and checked, as in an unpack.
bool WriteMissingContent(const InstallPlan& plan, const std::vector<bool>& missing,
                         const ContentSource& source)
{
    for (const PlannedRead& read : plan.reads) {
        const PlannedFile& file = plan.files[read.file];
        if (!missing[read.file])
            continue;
        if (!source.open(read))
            return false;
        UniqueHandle out;
        if (!read.checkOnly) {
            if (!MakeFoldersOnTheWay(plan, file.temp) ||
                !DeleteIfThere(plan, file.temp, Patience::NewFile))
                return false;
            out = CreateTempFile(plan, file);
            if (!out.IsValid())
                return false;
        }
        if (source.copy(read, out.Get()) != ContentOutcome::Written)
            return false;
        if (out.IsValid() && !FlushFileBuffers(out.Get())) {
            ReportLastError("FlushFileBuffers");
            return false;
        }
        out.Close();
        source.done(read);
        if (!read.checkOnly)
            Report(g_log, "Wrote the new content of [%s] again, from the archive.",
                   WideToUtf8(file.target).c_str());
    }
    return true;
}

// Which of the plan's files lack their new content, where only that stands
// in the way of finishing the update; false where something else does.
bool MissingContent(const InstallPlan& plan, std::vector<bool>& missing)
{
    missing.assign(plan.files.size(), false);
    bool any = false;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        switch (NewContentNeed(plan, plan.files[i])) {
        case ContentNeed::AtHand:
            break;
        case ContentNeed::Missing:
            missing[i] = any = true;
            break;
        case ContentNeed::InTheWay:
            return false;
        }
    }
    return any;
}

} // namespace

RecoveryOutcome RecoverInterruptedUpdate(bool mayWait)
{
    InstallPlan plan;
    if (!StartPlan(plan))
        return RecoveryOutcome::NotRecovered;
    const Patience patience = mayWait ? Patience::NewFile : Patience::None;
    const std::string journalName = WideToUtf8(kJournalName);
    switch (RemoveJournalDraft(plan, patience)) {
    case DraftState::None:
        break;
    case DraftState::Removed:
        Report(g_log, "Removed [%s], the plan of an update that was stopped before it changed "
                      "anything.",
               WideToUtf8(kJournalDraftName).c_str());
        break;
    case DraftState::Busy:
        Report(g_log, "An update is starting in this folder; its plan [%s] is left alone.",
               WideToUtf8(kJournalDraftName).c_str());
        return RecoveryOutcome::StillRunning;
    case DraftState::Failed:
        return RecoveryOutcome::NotRecovered;
    }

    JournalPhase phase = JournalPhase::Staging;
    UniqueHandle journal;
    std::string why;
    switch (ReadJournal(plan, phase, journal, patience, why)) {
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

    return SettleAndEnd(plan, phase, journal, patience);
}

RecoveryOutcome CompleteInterruptedUpdate(const ContentMatch& match, const ContentSource& source,
                                          bool& finished)
{
    finished = false;
    InstallPlan plan;
    JournalPhase phase = JournalPhase::Staging;
    UniqueHandle journal;
    std::string why;
    if (!StartPlan(plan) ||
        ReadJournal(plan, phase, journal, Patience::NewFile, why) != JournalState::Read)
        return RecoveryOutcome::NotRecovered;
    const std::string journalName = WideToUtf8(kJournalName);
    if (!match(plan, why)) {
        Report(g_log, "The archive is not the one the update that was stopped here came from: %s. "
                      "Deleting [%s] lets a new update start.",
               why.c_str(), journalName.c_str());
        return RecoveryOutcome::Stuck;
    }
    std::vector<bool> missing;
    if (!MissingContent(plan, missing)) {
        Report(g_log, "The archive cannot change what stands in the way. Deleting [%s] lets a new "
                      "update start.",
               journalName.c_str());
        return RecoveryOutcome::Stuck;
    }
    const bool written = WriteMissingContent(plan, missing, source);
    source.close(written);
    if (!written)
        return RecoveryOutcome::NotRecovered;
    return SettleAndEnd(plan, phase, journal, Patience::NewFile, &finished);
}
