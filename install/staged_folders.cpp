#include "install/staged_folders.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "diag/report.h"
#include "install/install_name.h"
#include "install/retry_while_held.h"
#include "install/win_paths.h"

namespace {

size_t Depth(const PlannedDirectory& directory)
{
    return static_cast<size_t>(std::count(directory.folder.begin(), directory.folder.end(), L'\\'));
}

} // namespace

bool MakeDirectory(const std::wstring& path, const std::string& name)
{
    if (CreateDirectoryW(path.c_str(), nullptr))
        return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        perror(name.c_str());
    return false;
}

std::wstring StagedFolderName(const InstallPlan& plan, size_t index)
{
    const std::wstring& folder = plan.directories[index].folder;
    std::wstring staged = StagingName(folder, plan.token, index, L".dir");
    const size_t ownLength = folder.size() - (folder.find_last_of(L'\\') + 1);
    const size_t stagedLength = staged.size() - (staged.find_last_of(L'\\') + 1);
    if (ownLength > stagedLength)
        staged.insert(staged.size() - 4, ownLength - stagedLength, L'_');
    return staged;
}

size_t FolderLevels(const InstallPlan& plan)
{
    size_t levels = 0;
    for (const PlannedDirectory& directory : plan.directories)
        levels = std::max(levels, Depth(directory) + 1);
    return levels;
}

std::vector<size_t> MakeFolderLevel(InstallPlan& plan, size_t level, bool staged)
{
    std::vector<size_t> made;
    for (size_t i = 0; i < plan.directories.size(); ++i) {
        PlannedDirectory& directory = plan.directories[i];
        if (Depth(directory) != level)
            continue;
        const std::wstring path = FullPath(plan, staged ? StagedFolderName(plan, i) : directory.folder);
        if (MakeDirectory(path, directory.name)) {
            directory.id = FolderId(path);
            made.push_back(i);
        }
    }
    return made;
}

bool PutFoldersInPlace(const InstallPlan& plan, const std::vector<size_t>& made,
                       std::string& failedName)
{
    for (size_t index : made) {
        const std::wstring from = FullPath(plan, StagedFolderName(plan, index));
        const std::wstring to = FullPath(plan, plan.directories[index].folder);
        if (!RetryWhileFileHeld(Patience::NewFile, [&] {
                return MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE;
            })) {
            ReportLastError("MoveFileEx");
            failedName = plan.directories[index].name;
            return false;
        }
    }
    return true;
}
