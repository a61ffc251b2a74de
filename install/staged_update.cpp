#include "install/staged_update.h"

#include <windows.h>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/retry_while_held.h"

namespace {

// What is at path; a state Windows cannot tell is reported, since the
// undo must not guess.
Found LookAt(const std::wstring& path)
{
    const Found found = WhatIsAt(path);
    if (found == Found::Unknown)
        ReportLastError("GetFileAttributes");
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

// Whether another process holds the target so that it cannot be replaced.
// Asked before the kept name is made, since a second name for a held file
// cannot be removed again while it is held.
bool WaitUntilReplaceable(const std::wstring& target)
{
    return RetryWhileFileHeld([&target] {
        UniqueHandle probe(CreateFileW(target.c_str(), DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return probe.IsValid();
    });
}

// A copy must be on disk before the file it copies is replaced.
bool FlushCopy(const std::wstring& copy)
{
    UniqueHandle file(CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.IsValid() && FlushFileBuffers(file.Get()))
        return true;
    ReportLastError("FlushFileBuffers");
    return false;
}

// A second name for the file being replaced costs no copy; volumes without
// hard links get a copy. A copy cut short lies beside a temporary file that
// is still there, and is then deleted, never put back (see UndoFile).
bool KeepOldFile(const std::wstring& target, const std::wstring& kept)
{
    if (CreateHardLinkW(kept.c_str(), target.c_str(), nullptr))
        return true;
    if (CopyFileW(target.c_str(), kept.c_str(), TRUE))
        return FlushCopy(kept);
    ReportLastError("CopyFile");
    return false;
}

bool MoveFileIntoPlace(const InstallPlan& plan, const PlannedFile& file)
{
    const std::wstring target = FullPath(plan, file.target);
    const std::wstring temp = FullPath(plan, file.temp);
    // A new file never replaces one: what it would replace was not kept.
    DWORD flags = 0;
    if (!file.kept.empty()) {
        if (!WaitUntilReplaceable(target)) {
            ReportLastError("CreateFile");
            return false;
        }
        if (!KeepOldFile(target, FullPath(plan, file.kept)))
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

// A file's staging files, the kept one first: a stop in between must not
// leave a kept file without its temporary one, which would read as moved.
bool DeleteStagingFiles(const InstallPlan& plan, const PlannedFile& file)
{
    return (file.kept.empty() || DeleteIfThere(plan, file.kept)) && DeleteIfThere(plan, file.temp);
}

// Undoes one file, whichever step its update stopped at. While the
// temporary file is there, the target was not replaced: only the staging
// files go. Once the temporary file is gone, the target holds the new
// content: the kept file is put back, or a new file removed. A kept file
// already put back leaves neither behind.
bool UndoFile(const InstallPlan& plan, const PlannedFile& file)
{
    switch (LookAt(FullPath(plan, file.temp))) {
    case Found::Unknown:
        return false;
    case Found::Nothing:
        break;
    default:
        return DeleteStagingFiles(plan, file);
    }
    if (!file.kept.empty()) {
        switch (LookAt(FullPath(plan, file.kept))) {
        case Found::Unknown:
            return false;
        case Found::Nothing:
            return true;
        default:
            return PutBack(plan, file);
        }
    }
    // A folder there now is not the file this update made.
    if (WhatIsAt(FullPath(plan, file.target)) == Found::Directory)
        return true;
    return DeleteIfThere(plan, file.target);
}

// Folders go last, innermost first; one that holds what the update did not
// bring stays, said in the log.
void RemoveDirectories(const InstallPlan& plan)
{
    for (auto directory = plan.directories.rbegin(); directory != plan.directories.rend();
         ++directory) {
        const std::wstring path = FullPath(plan, *directory);
        if (LookAt(path) != Found::Directory)
            continue;
        if (!RemoveDirectoryW(path.c_str())) {
            ReportLastError("RemoveDirectory");
            Report(g_log, "Can't remove the folder [%s].", WideToUtf8(*directory).c_str());
        }
    }
}

bool UndoUpdate(const InstallPlan& plan, JournalPhase phase)
{
    bool undone = true;
    for (auto file = plan.files.rbegin(); file != plan.files.rend(); ++file) {
        if (phase == JournalPhase::Moving) {
            // Strictly newest first: where two entries name one file, the
            // later one's kept file holds the earlier one's new content.
            if (!UndoFile(plan, *file))
                return false;
        } else {
            undone = DeleteStagingFiles(plan, *file) && undone;
        }
    }
    // Files still to be put back would keep their folders from going.
    if (undone)
        RemoveDirectories(plan);
    return undone;
}

bool RemoveLeftovers(const InstallPlan& plan)
{
    bool removed = true;
    for (const PlannedFile& file : plan.files)
        removed = DeleteStagingFiles(plan, file) && removed;
    return removed;
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

bool SettleUpdate(const InstallPlan& plan, JournalPhase phase)
{
    return phase == JournalPhase::Moved ? RemoveLeftovers(plan) : UndoUpdate(plan, phase);
}
