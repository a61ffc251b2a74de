#include "install/transaction.h"

#include <map>
#include <vector>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "diag/unique_handle.h"
#include "install/durable_flush.h"
#include "install/install_name.h"
#include "install/journal_file.h"
#include "install/journal_format.h"
#include "install/preflight.h"
#include "install/settle_update.h"
#include "install/staged_folders.h"
#include "install/staged_update.h"

namespace {

const std::string& JournalName()
{
    static const std::string name = WideToUtf8(kJournalName);
    return name;
}

bool Fail(Transaction& t, const std::string& unwritable)
{
    t.unwritable = unwritable;
    return false;
}

bool Enter(Transaction& t, InstallPhase phase)
{
    t.phase = phase;
    t.next = 0;
    return true;
}

bool FilesLeft(const Transaction& t)
{
    return t.next < t.plan.files.size();
}

// An archive of folders alone changes no file: it needs no journal.
bool MakeFoldersInPlace(Transaction& t)
{
    for (size_t level = 0; level < FolderLevels(t.plan); ++level)
        MakeFolderLevel(t.plan, level, false);
    if (!t.source.close(true))
        return Fail(t, std::string());
    return Enter(t, InstallPhase::Done);
}

// Staging files in the folders this update writes in that no journal
// accounts for (the player deleted the journal of a stopped update) are
// named, and left as they are: nothing proves what they hold.
void NameStrayStagingFiles(const InstallPlan& plan)
{
    std::map<std::wstring, std::wstring> folders; // upper-cased, as named
    for (const PlannedFile& file : plan.files) {
        const std::wstring folder = file.target.substr(0, file.target.find_last_of(L'\\') + 1);
        folders.emplace(FoldedName(folder), folder);
    }
    for (const auto& folder : folders) {
        UniqueFind find(FullPath(plan, folder.second + kStagingPattern));
        for (bool found = find.Found(); found; found = find.Next()) {
            const std::wstring name = folder.second + find.Data().cFileName;
            if (name != kJournalDraftName)
                Report(g_log, "Left [%s] as it is: it is a staging file of an update whose journal "
                              "is gone.",
                       WideToUtf8(name).c_str());
        }
    }
}

// The journal's volume is asked of its folder, not of the journal: under
// Wine on a FUSE volume, a volume query of a handle that was renamed loses
// what is written through it afterwards.
bool BeginUpdate(Transaction& t)
{
    NameStrayStagingFiles(t.plan);
    t.flushVolume = FolderFlushVolume(t.plan.root);
    switch (BeginJournal(t.plan, t.journal)) {
    case JournalStart::Begun:
        break;
    case JournalStart::InTheWay:
        return Fail(t, std::string());
    case JournalStart::NotWritten:
        return Fail(t, JournalName());
    }
    return Enter(t, InstallPhase::Folders);
}

// Whether what is at name (a file or folder of the plan) lies in a folder
// on the journal's local NTFS volume, asked once per folder.
bool OnJournalVolume(Transaction& t, const std::wstring& name)
{
    const size_t separator = name.find_last_of(L'\\');
    const std::wstring folder =
        separator == std::wstring::npos ? std::wstring() : name.substr(0, separator);
    const auto known = t.onJournalVolume.find(folder);
    if (known != t.onJournalVolume.end())
        return known->second;
    const bool on = !t.flushVolume.empty() &&
                    FolderFlushVolume(FullPath(t.plan, folder)) == t.flushVolume;
    t.onJournalVolume[folder] = on;
    return on;
}

// Nothing is written before the whole update is known to fit: its folders
// take new files, its targets can be replaced, its volumes have room.
bool CheckAndBegin(Transaction& t)
{
    std::string failedName;
    return CheckBeforeWriting(t.plan, failedName) ? BeginUpdate(t) : Fail(t, failedName);
}

// One level of folders: made under staging names, recorded, renamed.
bool MakeFolders(Transaction& t)
{
    const std::vector<size_t> made = MakeFolderLevel(t.plan, t.next++, true);
    if (made.empty())
        return true;
    if (!AppendRecord(t.journal.Get(), MadeRecord(t.plan), "the folders made"))
        return Fail(t, JournalName());
    std::string failedName;
    const auto writeThrough = [&t](const std::wstring& folder) { return !OnJournalVolume(t, folder); };
    return PutFoldersInPlace(t.plan, made, writeThrough, failedName) || Fail(t, failedName);
}

bool ReadsLeft(const Transaction& t)
{
    return t.next < t.plan.reads.size();
}

// One entry: its content written to its file's temporary file, or, where a
// later entry replaces it, read and checked only.
bool StageEntry(Transaction& t)
{
    const PlannedRead& read = t.plan.reads[t.next];
    if (!t.source.open(read))
        return Fail(t, std::string());
    UniqueHandle out;
    if (!read.checkOnly) {
        out = CreateTempFile(t.plan, t.plan.files[read.file]);
        if (!out.IsValid())
            return Fail(t, read.name);
    }
    switch (t.source.copy(read, out.Get())) {
    case ContentOutcome::Written:
        break;
    case ContentOutcome::ReadFailed:
        return Fail(t, std::string());
    case ContentOutcome::WriteFailed:
        return Fail(t, read.name);
    }
    // The new content must be on disk before its name can replace the old
    // file, or a power cut after the update could leave names without data.
    if (out.IsValid() &&
        !FlushNewContent(out.Get(), OnJournalVolume(t, t.plan.files[read.file].target))) {
        ReportLastError("FlushFileBuffers");
        return Fail(t, read.name);
    }
    if (!out.Close()) {
        ReportLastError("CloseHandle");
        return Fail(t, read.name);
    }
    t.source.done(read);
    ++t.next;
    return true;
}

bool EndStaging(Transaction& t)
{
    return t.source.close(true) ? Enter(t, InstallPhase::Keeping) : Fail(t, std::string());
}

bool KeepFile(Transaction& t)
{
    const size_t index = t.next++;
    return KeepReplacedFile(t.plan, index) || Fail(t, t.plan.files[index].name);
}

// A "moving" that could not be recorded may be on disk in part: the phase
// is Moving from before the write, and an undo from there is right for
// every state before "moved".
bool BeginMoves(Transaction& t)
{
    Enter(t, InstallPhase::Moving);
    return AppendRecord(t.journal.Get(), MovingRecord(t.plan), "the moves begin") ||
           Fail(t, JournalName());
}

bool MoveFile(Transaction& t)
{
    const PlannedFile& file = t.plan.files[t.next];
    if (!MoveIntoPlace(t.plan, file, !OnJournalVolume(t, file.target)))
        return Fail(t, file.name);
    ++t.next;
    return true;
}

// Only once "moved" is on disk may the kept files go: before, the next
// start would undo the update and need them.
bool EndMoves(Transaction& t)
{
    if (!AppendRecord(t.journal.Get(), MovedRecord(), "the moves are done")) {
        Report(g_log, "Every file of the update is in place, but the journal [%s] cannot say so; "
                      "it is kept with the replaced files, and the next start settles the install.",
               JournalName().c_str());
        return Fail(t, JournalName());
    }
    return Enter(t, InstallPhase::Moved);
}

// The update is complete whatever happens here: a kept file that cannot go
// yet is left to the next start, with the journal.
bool RemoveKeptFile(Transaction& t)
{
    const PlannedFile& file = t.plan.files[t.next++];
    if (file.kept.empty() || DeleteIfThere(t.plan, file.kept, Patience::NewFile))
        return true;
    KeepJournalForNextStart(t.journal);
    return Enter(t, InstallPhase::Done);
}

bool EndUpdate(Transaction& t)
{
    DeleteJournal(t.journal);
    return Enter(t, InstallPhase::Done);
}

bool AllMoved(const Transaction& t)
{
    return t.phase == InstallPhase::Moving && !FilesLeft(t);
}

} // namespace

InstallResult GiveUp(Transaction& t)
{
    // A failure while reading lets the content go before the settling,
    // which may wait for held files; otherwise its owner closes it.
    if (t.phase == InstallPhase::Staging)
        t.source.close(false);
    if (AllMoved(t)) {
        t.journal.Close();
    } else if (t.journal.IsValid()) {
        const JournalPhase inForce =
            t.phase == InstallPhase::Moving ? JournalPhase::Moving : JournalPhase::Staging;
        if (IsSettled(SettleUpdate(t.plan, inForce)))
            DeleteJournal(t.journal);
        else
            KeepJournalForNextStart(t.journal);
    }
    return InstallResult{false, t.unwritable};
}

bool Step(Transaction& t)
{
    switch (t.phase) {
    case InstallPhase::Planned:
        return t.plan.files.empty() ? MakeFoldersInPlace(t) : CheckAndBegin(t);
    case InstallPhase::Folders:
        return t.next < FolderLevels(t.plan) ? MakeFolders(t) : Enter(t, InstallPhase::Staging);
    case InstallPhase::Staging:
        return ReadsLeft(t) ? StageEntry(t) : EndStaging(t);
    case InstallPhase::Keeping:
        return FilesLeft(t) ? KeepFile(t) : BeginMoves(t);
    case InstallPhase::Moving:
        return FilesLeft(t) ? MoveFile(t) : EndMoves(t);
    case InstallPhase::Moved:
        return FilesLeft(t) ? RemoveKeptFile(t) : EndUpdate(t);
    case InstallPhase::Done:
        break;
    }
    return true;
}

InstallResult RunInstall(InstallPlan& plan, const ContentSource& source)
{
    Transaction transaction(plan, source);
    while (transaction.phase != InstallPhase::Done) {
        if (!Step(transaction))
            return GiveUp(transaction);
    }
    return InstallResult{true, std::string()};
}
