#include "install/staged_update.h"

#include <windows.h>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/file_crc.h"
#include "install/file_identity.h"
#include "install/install_name.h"

namespace {

// Whether another program holds the target, which the player had, so that
// it cannot be replaced. Asked before the kept name is made, since a second
// name for a held file cannot be removed again while it is held.
bool IsFree(const InstallPlan& plan, const PlannedFile& file)
{
    const std::wstring target = FullPath(plan, file.target);
    if (RetryWhileFileHeld(Patience::InUse, target, [&target] {
            UniqueHandle probe(CreateFileW(target.c_str(), DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            return probe.IsValid();
        }))
        return true;
    ReportLastError("CreateFile");
    return false;
}

// Whether the target is still the file the plan found: what is kept must be
// what the undo knows it by, and removable once the update is done, which a
// file made read-only meanwhile is not.
bool StillAsFound(const InstallPlan& plan, const PlannedFile& file)
{
    FileStamp stamp;
    const Found found = WhatIsAt(FullPath(plan, file.target), &stamp);
    if (found == Found::Unknown) {
        ReportLastError("GetFileAttributesEx");
        return false;
    }
    if (found == Found::ReadOnlyFile) {
        Report(g_log, "Can't replace [%s]: the file is read-only.", file.name.c_str());
        return false;
    }
    if (found == Found::Link) {
        Report(g_log, "Can't replace [%s]: it is a link to another file.", file.name.c_str());
        return false;
    }
    if (found != Found::File || !(stamp == file.keptStamp)) {
        Report(g_log, "Can't replace [%s]: it changed while the update ran.", file.name.c_str());
        return false;
    }
    return true;
}

// Gives the copy the attributes and times of the file it keeps, as a second
// name would have them, so that an undo brings the file back as it was
// (FILE_BASIC_INFO, "SetFileInformationByHandle function"). The kept file
// is known by its content, so where the volume takes none of them the copy
// is kept all the same.
void CopyAttributesAndTimes(HANDLE from, HANDLE copy)
{
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(from, FileBasicInfo, &basic, sizeof basic))
        return;
    basic.FileAttributes &= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(copy, FileBasicInfo, &basic, sizeof basic);
}

// Copies the file at from to copy, made anew, and says what it wrote: its
// size and CRC-32. The copy is on disk when this returns.
bool CopyToKeep(const std::wstring& from, const std::wstring& copy, std::uint64_t& size,
                std::uint32_t& crc)
{
    UniqueHandle in;
    RetryWhileFileHeld(Patience::InUse, from, [&] {
        in = UniqueHandle(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        return in.IsValid();
    });
    if (!in.IsValid()) {
        ReportLastError("CreateFile");
        return false;
    }
    UniqueHandle out(CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!out.IsValid()) {
        ReportLastError("CreateFile");
        return false;
    }
    auto write = [&out](const unsigned char* data, DWORD length) {
        DWORD written = 0;
        if (WriteFile(out.Get(), data, length, &written, nullptr) && written == length)
            return true;
        ReportLastError("WriteFile");
        return false;
    };
    if (!ReadWithCrc(in.Get(), crc, size, write))
        return false;
    CopyAttributesAndTimes(in.Get(), out.Get());
    if (!FlushFileBuffers(out.Get())) {
        ReportLastError("FlushFileBuffers");
        return false;
    }
    if (!out.Close()) {
        ReportLastError("CloseHandle");
        return false;
    }
    return true;
}

struct KeptCopy {
    bool made = false;
    std::uint32_t crc = 0;
};

// A second name for the file being replaced costs no copy. Volumes without
// hard links (FAT, exFAT, some shares) get a copy that this program writes
// under a name of its own and gives the kept name only when it is whole
// and on disk, so that a kept name never holds less. The copy must hold
// what is being replaced: the file the plan found.
bool KeepOldFile(const InstallPlan& plan, const PlannedFile& file, KeptCopy& copy)
{
    const std::wstring target = FullPath(plan, file.target);
    const std::wstring kept = FullPath(plan, file.kept);
    if (CreateHardLinkW(kept.c_str(), target.c_str(), nullptr))
        return true;
    const std::wstring whole = FullPath(plan, CopyName(file.temp));
    std::uint64_t size = 0;
    if (!CopyToKeep(target, whole, size, copy.crc))
        return false;
    if (size != file.keptStamp.size) {
        Report(g_log, "Can't replace [%s]: it changed while the update ran.", file.name.c_str());
        return false;
    }
    // A scanner looks at the copy as soon as it is closed.
    if (!RetryWhileFileHeld(Patience::NewFile, whole, [&] {
            return MoveFileExW(whole.c_str(), kept.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
        })) {
        ReportLastError("MoveFileEx");
        return false;
    }
    copy.made = true;
    return true;
}

} // namespace

bool DeleteIfThere(const InstallPlan& plan, const std::wstring& name, Patience patience)
{
    const std::wstring path = FullPath(plan, name);
    if (RetryWhileFileHeld(patience, path, [&path] {
            return DeleteFileW(path.c_str()) ||
                   (GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnly(path) &&
                    DeleteFileW(path.c_str()));
        }))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return true;
    ReportLastError("DeleteFile");
    Report(g_log, "Can't delete [%s].", WideToUtf8(name).c_str());
    return false;
}

UniqueHandle CreateTempFile(const InstallPlan& plan, const PlannedFile& file)
{
    UniqueHandle out(CreateFileW(FullPath(plan, file.temp).c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.IsValid())
        ReportLastError("CreateFile");
    return out;
}

bool KeepReplacedFile(InstallPlan& plan, size_t index)
{
    PlannedFile& file = plan.files[index];
    if (file.kept.empty())
        return true;
    KeptCopy copy;
    if (!IsFree(plan, file) || !StillAsFound(plan, file) || !KeepOldFile(plan, file, copy))
        return false;
    file.keptAsCopy = copy.made;
    file.keptCrc = copy.crc;
    return true;
}

bool MoveIntoPlace(const InstallPlan& plan, const PlannedFile& file, bool writeThrough)
{
    const std::wstring target = FullPath(plan, file.target);
    const std::wstring temp = FullPath(plan, file.temp);
    // A new file never replaces one: what it would replace was not kept.
    DWORD flags = 0;
    if (!file.kept.empty()) {
        if (!StillAsFound(plan, file))
            return false;
        flags = MOVEFILE_REPLACE_EXISTING;
    }
    if (writeThrough)
        flags |= MOVEFILE_WRITE_THROUGH;
    // The new file has just appeared: a scanner may be looking at it. So may
    // it at the target where its kept name (a second name of it) has just
    // appeared; a target kept as a copy is held only by the player's
    // programs, whose wait is their own.
    HeldRules rules;
    rules.players = file.keptAsCopy;
    if (!RetryWhileFileHeld(Patience::NewFile, file.kept.empty() ? temp : target, [&] {
            return MoveFileExW(temp.c_str(), target.c_str(), flags) != FALSE;
        }, rules)) {
        ReportLastError("MoveFileEx");
        return false;
    }
    return true;
}

