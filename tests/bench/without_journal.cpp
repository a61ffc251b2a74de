// Bench only: vestrel.exe without its journal (nothing is written, read or
// recovered), to measure what the journal costs. Takes the place of
// install/journal_file.cpp.
#include "install/journal_file.h"

JournalStart BeginJournal(const InstallPlan&, UniqueHandle& journal)
{
    journal = UniqueHandle();
    return JournalStart::Begun;
}

bool AppendRecord(HANDLE, const std::string&, const char*)
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
