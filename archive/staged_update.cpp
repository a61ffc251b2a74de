#include "archive/staged_update.h"

#include <windows.h>

#include "install/retry_while_held.h"
#include "diag/report.h"

namespace {

// Enough tries to step over names left by an earlier run that was killed.
const unsigned kNameAttempts = 1000;

std::wstring DirectoryOf(const std::wstring& path)
{
    const size_t separator = path.find_last_of(L"/\\");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

// A name beside target that nothing else uses: the process id keeps two
// runs apart, the counter the files of one run.
std::wstring SiblingName(StagedUpdate& update, const std::wstring& target, const wchar_t* suffix)
{
    return DirectoryOf(target) + L"~vestrel-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(update.nextId++) + suffix;
}

bool KeepBackup(StagedUpdate& update, StagedFile& file)
{
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring backup = SiblingName(update, file.target, L".old");
        // A second name for the same data costs no copy; volumes without
        // hard links get a copy.
        if (CreateHardLinkW(backup.c_str(), file.target.c_str(), nullptr) ||
            CopyFileW(file.target.c_str(), backup.c_str(), TRUE)) {
            file.backup = backup;
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            ReportLastError("CopyFile");
            return false;
        }
    }
    ReportLastError("CopyFile");
    return false;
}

// Whether another process holds the target so that it cannot be replaced.
// Asked before a backup is made, since a second name for a held file
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

bool CommitStagedFile(StagedUpdate& update, StagedFile& file)
{
    const DWORD attributes = GetFileAttributesW(file.target.c_str());
    const bool replacesFile =
        attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    // Windows refuses to replace a read-only file; not every file system
    // does, so refuse it here in Windows' own terms.
    if (replacesFile && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        ReportLastError("MoveFileEx");
        return false;
    }
    if (replacesFile && !WaitUntilReplaceable(file.target)) {
        ReportLastError("CreateFile");
        return false;
    }
    if (replacesFile && !KeepBackup(update, file))
        return false;
    if (!RetryWhileFileHeld([&file] {
            return MoveFileExW(file.temp.c_str(), file.target.c_str(), MOVEFILE_REPLACE_EXISTING) !=
                   FALSE;
        })) {
        ReportLastError("MoveFileEx");
        return false;
    }
    file.committed = true;
    return true;
}

void RestoreFile(StagedFile& file)
{
    if (file.backup.empty()) {
        DeleteFileW(file.target.c_str());
        return;
    }
    if (RetryWhileFileHeld([&file] {
            return MoveFileExW(file.backup.c_str(), file.target.c_str(),
                               MOVEFILE_REPLACE_EXISTING) != FALSE;
        })) {
        file.backup.clear();
        return;
    }
    ReportLastError("MoveFileEx");
    Report(g_log, "Can't restore [%s]; its previous content is kept beside it.", file.name.c_str());
}

} // namespace

UniqueHandle CreateStagedFile(StagedUpdate& update, const std::string& name,
                              const std::wstring& target)
{
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring temp = SiblingName(update, target, L".tmp");
        UniqueHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.IsValid()) {
            update.files.push_back(StagedFile{name, target, temp, std::wstring(), false});
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    ReportLastError("CreateFile");
    return UniqueHandle();
}

bool CommitStagedUpdate(StagedUpdate& update, std::string& failedName)
{
    for (StagedFile& file : update.files) {
        if (!CommitStagedFile(update, file)) {
            failedName = file.name;
            return false;
        }
    }
    return true;
}

void RollBackStagedUpdate(StagedUpdate& update)
{
    for (auto file = update.files.rbegin(); file != update.files.rend(); ++file) {
        if (file->committed) {
            RestoreFile(*file);
            continue;
        }
        DeleteFileW(file->temp.c_str());
        if (!file->backup.empty())
            DeleteFileW(file->backup.c_str());
    }
    for (auto dir = update.madeDirectories.rbegin(); dir != update.madeDirectories.rend(); ++dir)
        RemoveDirectoryW(dir->c_str());
    update.files.clear();
    update.madeDirectories.clear();
}

void DeleteBackups(StagedUpdate& update)
{
    for (const StagedFile& file : update.files)
        if (!file.backup.empty())
            DeleteFileW(file.backup.c_str());
}
