// Bench only: vestrel.exe without its journal (nothing is written, read or
// recovered), to measure what the journal costs. Takes the place of
// install/journal.cpp.
#include "install/journal.h"

JournalStart BeginJournal(const InstallPlan&, UniqueHandle& journal)
{
    journal = UniqueHandle();
    return JournalStart::Begun;
}

bool RecordMadeFolders(HANDLE, const InstallPlan&)
{
    return true;
}

bool RecordPhase(HANDLE, const InstallPlan&, JournalPhase)
{
    return true;
}

void KeepJournalForNextStart(UniqueHandle& journal)
{
    journal.Close();
}

bool DeleteJournal(UniqueHandle& journal)
{
    journal.Close();
    return true;
}

JournalState ReadJournal(InstallPlan&, JournalPhase&, UniqueHandle&, Patience, std::string&)
{
    return JournalState::None;
}

DraftState RemoveJournalDraft(const InstallPlan&, Patience)
{
    return DraftState::None;
}
