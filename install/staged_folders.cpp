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

// Where the plan's folder index is made while it is the update's by name.
std::wstring StagedPath(const InstallPlan& plan, size_t index)
{
    return FullPath(plan, StagedFolderName(plan.directories[index].folder, plan.token, index));
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

bool MakeFoldersOnTheWay(const InstallPlan& plan, const std::wstring& name)
{
    for (size_t at = name.find(L'\\'); at != std::wstring::npos; at = name.find(L'\\', at + 1)) {
        const std::wstring folder = FullPath(plan, name.substr(0, at));
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            ReportLastError("CreateDirectory");
            return false;
        }
    }
    return true;
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
        const std::wstring path = staged ? StagedPath(plan, i) : FullPath(plan, directory.folder);
        if (MakeDirectory(path, directory.name)) {
            directory.id = FolderId(path);
            made.push_back(i);
        }
    }
    return made;
}

bool PutFoldersInPlace(const InstallPlan& plan, const std::vector<size_t>& made,
                       const std::function<bool(const std::wstring& folder)>& writeThrough,
                       std::string& failedName)
{
    for (size_t index : made) {
        const std::wstring from = StagedPath(plan, index);
        const std::wstring to = FullPath(plan, plan.directories[index].folder);
        const DWORD flags = writeThrough(plan.directories[index].folder) ? MOVEFILE_WRITE_THROUGH : 0;
        HeldRules rules;
        rules.folder = true;
        if (!RetryWhileFileHeld(Patience::NewFile, from, [&] {
                return MoveFileExW(from.c_str(), to.c_str(), flags) != FALSE;
            }, rules)) {
            ReportLastError("MoveFileEx");
            failedName = plan.directories[index].name;
            return false;
        }
    }
    return true;
}
