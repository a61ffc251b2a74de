#include "install/staged_update.h"

#include <windows.h>

#include <algorithm>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/install_name.h"
#include "install/retry_while_held.h"

namespace {

// What is at path; a state Windows cannot tell is reported, since the
// undo must not guess.
Found LookAt(const std::wstring& path)
{
    const Found found = WhatIsAt(path);
    if (found == Found::Unknown)
        ReportLastError("GetFileAttributesEx");
    return found;
}

// Deletes name if it is there. A file already gone counts as deleted.
bool DeleteIfThere(const InstallPlan& plan, const std::wstring& name)
{
    const std::wstring path = FullPath(plan, name);
    if (RetryWhileFileHeld([&path] { return DeleteFileW(path.c_str()) != FALSE; }))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return true;
    ReportLastError("DeleteFile");
    Report(g_log, "Can't delete [%s].", WideToUtf8(name).c_str());
    return false;
}

SettleOutcome LeftAlone(const std::wstring& name, const char* notWhat)
{
    Report(g_log, "Left [%s] as it is: it is not %s.", WideToUtf8(name).c_str(), notWhat);
    return SettleOutcome::LeftSomeAlone;
}

SettleOutcome Worse(SettleOutcome a, SettleOutcome b)
{
    return std::max(a, b);
}

// Where a volume without hard links gets its copy of a kept file until the
// copy is whole.
std::wstring CopyName(const PlannedFile& file)
{
    return file.temp.substr(0, file.temp.size() - 4) + L".cpy";
}

// Whether another process holds the target so that it cannot be replaced,
// and whether it is still the file the plan found. Asked before the kept
// name is made, since a second name for a held file cannot be removed
// again while it is held.
bool ReadyToReplace(const InstallPlan& plan, const PlannedFile& file)
{
    const std::wstring target = FullPath(plan, file.target);
    const bool free = RetryWhileFileHeld([&target] {
        UniqueHandle probe(CreateFileW(target.c_str(), DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return probe.IsValid();
    });
    if (!free) {
        ReportLastError("CreateFile");
        return false;
    }
    // What is kept must be what the undo will know it by, and removable
    // once the update is done: a file made read-only meanwhile is not.
    if (file.keptFrom != kOriginalFile)
        return true;
    FileStamp stamp;
    const Found found = WhatIsAt(target, &stamp);
    if (found == Found::Unknown) {
        ReportLastError("GetFileAttributesEx");
        return false;
    }
    if (found == Found::ReadOnlyFile) {
        Report(g_log, "Can't replace [%s]: the file is read-only.", file.name.c_str());
        return false;
    }
    if (found != Found::File || !(stamp == file.keptStamp)) {
        Report(g_log, "Can't replace [%s]: it changed while the update ran.", file.name.c_str());
        return false;
    }
    return true;
}

// A copy of a kept file gets the last-write time of the file it keeps,
// which the undo knows it by, and must be on disk before that file is
// replaced.
bool SealCopy(const std::wstring& copy, const PlannedFile& file)
{
    UniqueHandle handle(CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.IsValid()) {
        ReportLastError("CreateFile");
        return false;
    }
    FILETIME lastWrite = {static_cast<DWORD>(file.keptStamp.lastWrite),
                          static_cast<DWORD>(file.keptStamp.lastWrite >> 32)};
    if (file.keptFrom == kOriginalFile && !SetFileTime(handle.Get(), nullptr, nullptr, &lastWrite)) {
        ReportLastError("SetFileTime");
        return false;
    }
    if (!FlushFileBuffers(handle.Get())) {
        ReportLastError("FlushFileBuffers");
        return false;
    }
    return true;
}

// A second name for the file being replaced costs no copy. Volumes without
// hard links get a copy, made under a name of its own and given the kept
// name only when it is whole, so that a kept name never holds less.
bool KeepOldFile(const InstallPlan& plan, const PlannedFile& file)
{
    const std::wstring target = FullPath(plan, file.target);
    const std::wstring kept = FullPath(plan, file.kept);
    if (CreateHardLinkW(kept.c_str(), target.c_str(), nullptr))
        return true;
    const std::wstring copy = FullPath(plan, CopyName(file));
    if (!CopyFileW(target.c_str(), copy.c_str(), FALSE)) {
        ReportLastError("CopyFile");
        return false;
    }
    if (!SealCopy(copy, file))
        return false;
    if (!MoveFileExW(copy.c_str(), kept.c_str(), MOVEFILE_WRITE_THROUGH)) {
        ReportLastError("MoveFileEx");
        return false;
    }
    return true;
}

bool MoveFileIntoPlace(const InstallPlan& plan, const PlannedFile& file)
{
    const std::wstring target = FullPath(plan, file.target);
    const std::wstring temp = FullPath(plan, file.temp);
    // A new file never replaces one: what it would replace was not kept.
    DWORD flags = 0;
    if (!file.kept.empty()) {
        if (!ReadyToReplace(plan, file) || !KeepOldFile(plan, file))
            return false;
        flags = MOVEFILE_REPLACE_EXISTING;
    }
    if (!RetryWhileFileHeld([&] { return MoveFileExW(temp.c_str(), target.c_str(), flags) != FALSE; })) {
        ReportLastError("MoveFileEx");
        return false;
    }
    return true;
}

bool PutBack(const InstallPlan& plan, const PlannedFile& file)
{
    const std::wstring kept = FullPath(plan, file.kept);
    const std::wstring target = FullPath(plan, file.target);
    if (RetryWhileFileHeld([&] {
            return MoveFileExW(kept.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        }))
        return true;
    ReportLastError("MoveFileEx");
    Report(g_log, "Can't restore [%s]; its previous content is kept in [%s].",
           WideToUtf8(file.target).c_str(), WideToUtf8(file.kept).c_str());
    return false;
}

// Whether the kept file is the one the update kept: the file it found, by
// its stamp, or an earlier entry's content. When it is not, gone or not
// known, otherwise says what that means for the settling (a file that is
// not the update's is logged), and nothing is done to it.
bool IsKeptFile(const InstallPlan& plan, const PlannedFile& file, SettleOutcome& otherwise)
{
    const std::wstring kept = FullPath(plan, file.kept);
    const PlannedFile* earlier = file.keptFrom == kOriginalFile ? nullptr : &plan.files[file.keptFrom];
    switch (earlier ? CompareContent(kept, earlier->size, earlier->crc)
                    : CompareStamp(kept, file.keptStamp)) {
    case Identity::Same:
        return true;
    case Identity::Missing:
        otherwise = SettleOutcome::Settled;
        return false;
    case Identity::Unknown:
        otherwise = SettleOutcome::Blocked;
        return false;
    case Identity::Different:
        break;
    }
    otherwise = LeftAlone(file.kept, "the file the update kept");
    return false;
}

SettleOutcome DeleteKeptFile(const InstallPlan& plan, const PlannedFile& file)
{
    SettleOutcome otherwise = SettleOutcome::Settled;
    if (!IsKeptFile(plan, file, otherwise))
        return otherwise;
    return DeleteIfThere(plan, file.kept) ? SettleOutcome::Settled : SettleOutcome::Blocked;
}

// A file's staging files, the kept one first: a stop in between must not
// leave a kept file without its temporary one, which would read as moved.
SettleOutcome DeleteStagingFiles(const InstallPlan& plan, const PlannedFile& file)
{
    SettleOutcome outcome = SettleOutcome::Settled;
    if (!file.kept.empty()) {
        if (!DeleteIfThere(plan, CopyName(file)))
            return SettleOutcome::Blocked;
        outcome = DeleteKeptFile(plan, file);
        if (outcome == SettleOutcome::Blocked)
            return outcome;
    }
    return DeleteIfThere(plan, file.temp) ? outcome : SettleOutcome::Blocked;
}

// Undoes one file, whichever step its update stopped at. While the
// temporary file is there, the target was not replaced: only the staging
// files go. Once it is gone, the target holds the new content if it is the
// update's at all: then the kept file is put back, or a new file removed.
// A kept file already put back leaves neither behind.
SettleOutcome UndoFile(const InstallPlan& plan, const PlannedFile& file)
{
    switch (LookAt(FullPath(plan, file.temp))) {
    case Found::Unknown:
        return SettleOutcome::Blocked;
    case Found::Nothing:
        break;
    default:
        return DeleteStagingFiles(plan, file);
    }
    const Identity target = CompareContent(FullPath(plan, file.target), file.size, file.crc);
    if (target == Identity::Unknown)
        return SettleOutcome::Blocked;
    if (file.kept.empty()) {
        if (target == Identity::Missing)
            return SettleOutcome::Settled;
        if (target == Identity::Different)
            return LeftAlone(file.target, "what the update wrote");
        return DeleteIfThere(plan, file.target) ? SettleOutcome::Settled : SettleOutcome::Blocked;
    }
    SettleOutcome otherwise = SettleOutcome::Settled;
    if (!IsKeptFile(plan, file, otherwise))
        return otherwise;
    if (target == Identity::Different) {
        Report(g_log, "Left [%s] as it is: it is not what the update wrote. What the update kept "
                      "of it stays in [%s].",
               WideToUtf8(file.target).c_str(), WideToUtf8(file.kept).c_str());
        return SettleOutcome::LeftSomeAlone;
    }
    return PutBack(plan, file) ? SettleOutcome::Settled : SettleOutcome::Blocked;
}

// Folders go last, innermost first, and only those the update made; one
// that holds what the update did not bring stays, said in the log.
SettleOutcome RemoveDirectories(const InstallPlan& plan)
{
    SettleOutcome outcome = SettleOutcome::Settled;
    for (auto directory = plan.directories.rbegin(); directory != plan.directories.rend();
         ++directory) {
        const std::wstring path = FullPath(plan, directory->folder);
        if (LookAt(path) != Found::Directory)
            continue;
        if (directory->id.empty() || FolderId(path) != directory->id) {
            outcome = LeftAlone(directory->folder, "a folder the update made");
            continue;
        }
        if (!RemoveDirectoryW(path.c_str())) {
            ReportLastError("RemoveDirectory");
            Report(g_log, "Can't remove the folder [%s].", WideToUtf8(directory->folder).c_str());
        }
    }
    return outcome;
}

SettleOutcome UndoUpdate(const InstallPlan& plan, JournalPhase phase)
{
    SettleOutcome outcome = SettleOutcome::Settled;
    for (auto file = plan.files.rbegin(); file != plan.files.rend(); ++file) {
        if (phase == JournalPhase::Moving) {
            // Strictly newest first: where two entries name one file, the
            // later one's kept file holds the earlier one's new content. A
            // file whose temporary file is still there was never replaced:
            // what it left that cannot go yet does not stop the older ones.
            const SettleOutcome undone = UndoFile(plan, *file);
            if (undone == SettleOutcome::Blocked &&
                WhatIsAt(FullPath(plan, file->temp)) != Found::File)
                return undone;
            outcome = Worse(outcome, undone);
        } else {
            outcome = Worse(outcome, DeleteStagingFiles(plan, *file));
        }
    }
    // Files still to be put back would keep their folders from going.
    if (outcome == SettleOutcome::Blocked)
        return outcome;
    return Worse(outcome, RemoveDirectories(plan));
}

SettleOutcome RemoveLeftovers(const InstallPlan& plan)
{
    SettleOutcome outcome = SettleOutcome::Settled;
    for (const PlannedFile& file : plan.files)
        outcome = Worse(outcome, DeleteStagingFiles(plan, file));
    return outcome;
}

void KeepJournalForNextStart(UniqueHandle& journal)
{
    Report(g_log, "The update is not settled yet; its journal [%s] is kept for the next start.",
           WideToUtf8(kJournalName).c_str());
    journal.Close();
}

} // namespace

UniqueHandle CreateTempFile(const InstallPlan& plan, const PlannedFile& file)
{
    UniqueHandle out(CreateFileW(FullPath(plan, file.temp).c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.IsValid())
        ReportLastError("CreateFile");
    return out;
}

bool MoveIntoPlace(const InstallPlan& plan, std::string& failedName)
{
    for (const PlannedFile& file : plan.files) {
        if (!MoveFileIntoPlace(plan, file)) {
            failedName = file.name;
            return false;
        }
    }
    return true;
}

SettleOutcome SettleUpdate(const InstallPlan& plan, JournalPhase phase)
{
    return phase == JournalPhase::Moved ? RemoveLeftovers(plan) : UndoUpdate(plan, phase);
}

bool CompleteUpdate(const InstallPlan& plan, UniqueHandle& journal)
{
    // Only once "moved" is on disk may the kept files go: before, the next
    // start would undo the update and need them.
    if (!RecordPhase(journal.Get(), JournalPhase::Moved)) {
        Report(g_log, "Every file of the update is in place, but the journal [%s] cannot say so; "
                      "it is kept with the replaced files, and the next start settles the install.",
               WideToUtf8(kJournalName).c_str());
        journal.Close();
        return false;
    }
    // This run made each kept file and moved each temporary one: only the
    // kept files are left.
    for (const PlannedFile& file : plan.files) {
        if (!file.kept.empty() && !DeleteIfThere(plan, file.kept)) {
            KeepJournalForNextStart(journal);
            return true;
        }
    }
    DeleteJournal(journal);
    return true;
}

void SettleAndCloseJournal(const InstallPlan& plan, JournalPhase phase, UniqueHandle& journal)
{
    if (SettleUpdate(plan, phase) != SettleOutcome::Blocked)
        DeleteJournal(journal);
    else
        KeepJournalForNextStart(journal);
}
