#include "install/install_plan.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/install_name.h"
#include "install/win_paths.h"

namespace {

// The archive's own form of the first components of name (a path as the
// archive gives it, '/' or '\\' between components, "." and empty ones
// not counted): "./maps/new/" for two components of "./maps/new/a.map".
std::string ArchivePrefix(const std::string& name, size_t components)
{
    size_t counted = 0;
    for (size_t start = 0; start < name.size();) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        const std::string component = name.substr(start, end - start);
        if (!component.empty() && component != "." && ++counted == components)
            return name.substr(0, std::min(end + 1, name.size()));
        start = end + 1;
    }
    return name;
}

void PlanOneFolder(InstallPlan& plan, const std::wstring& folder, const std::string& name)
{
    const std::wstring folded = FoldedName(folder);
    // A name that an earlier entry brings as a file exists by then.
    if (plan.plannedDirectories.count(folded) || plan.plannedFiles.count(folded))
        return;
    if (WhatIsAt(FullPath(plan, folder)) != Found::Nothing)
        return;
    plan.plannedDirectories.insert(folded);
    plan.directories.push_back(PlannedDirectory{folder, name, std::string()});
}

// The folders on the way to target, outermost first: for "a\b\c" "a" and
// "a\b", each with its name as the archive gives it.
void PlanFoldersOnTheWay(InstallPlan& plan, const std::wstring& target, const std::string& name)
{
    size_t components = 0;
    for (size_t at = target.find(L'\\'); at != std::wstring::npos; at = target.find(L'\\', at + 1))
        PlanOneFolder(plan, target.substr(0, at), ArchivePrefix(name, ++components));
}

// target with its short names resolved (see ResolveShortNames); refused
// when it is another name of a file the update may not write (its own
// staging files, its journal), or a name the journal could not record as
// it is.
PlanOutcome ResolveTarget(const InstallPlan& plan, const std::wstring& target,
                          const std::string& name, std::wstring& resolved)
{
    resolved = ResolveShortNames(plan.root, target);
    if (resolved == target)
        return PlanOutcome::Planned;
    std::wstring normal, decoded;
    if (NormalizeInstallName(resolved, normal) && normal == resolved &&
        Utf8ToWide(WideToUtf8(resolved), decoded) && decoded == resolved)
        return PlanOutcome::Planned;
    Report(g_log, "Can't write [%s]: it is another name of [%s], which is not the game's.",
           name.c_str(), WideToUtf8(resolved).c_str());
    return PlanOutcome::Refused;
}

// Whether target's folder is one the update makes: it is not there, so
// neither is anything in it, and the file system need not be asked. (Were
// a file put there meanwhile, the move of a new file, which replaces
// nothing, would fail.)
bool InFolderToBeMade(const InstallPlan& plan, const std::wstring& target)
{
    const std::wstring folder = FolderOf(target);
    return !folder.empty() && plan.plannedDirectories.count(FoldedName(folder)) != 0;
}

// A later entry for a file the plan has (in any letter case): the file gets
// its content, and the entries before it are read only to be checked.
PlanOutcome PlanLaterEntry(InstallPlan& plan, size_t number, const std::string& name,
                           std::uint64_t entry, std::uint64_t size, std::uint32_t crc)
{
    // The entries before the one that brought its content so far are
    // marked already.
    for (auto read = plan.reads.rbegin(); read != plan.reads.rend(); ++read) {
        if (read->file == number) {
            read->checkOnly = true;
            break;
        }
    }
    PlannedFile& file = plan.files[number];
    file.name = name;
    file.size = size;
    file.crc = crc;
    plan.reads.push_back(PlannedRead{number, entry, name, false});
    return PlanOutcome::Planned;
}

} // namespace

bool StartPlan(InstallPlan& plan)
{
    plan = InstallPlan();
    if (!ExtendedLengthRoot(plan.root)) {
        ReportLastError("GetCurrentDirectory");
        return false;
    }
    // The process id keeps two runs apart, the start time two runs of one id.
    wchar_t token[32] = {};
    swprintf(token, 32, L"%lu-%08lx", static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long>(GetTickCount()));
    plan.token = token;
    return true;
}

std::wstring FullPath(const InstallPlan& plan, const std::wstring& name)
{
    return plan.root + name;
}

PlanOutcome PlanDirectory(InstallPlan& plan, const std::wstring& target, const std::string& name)
{
    if (target.empty())
        return PlanOutcome::Planned;
    std::wstring folder;
    if (ResolveTarget(plan, target, name, folder) == PlanOutcome::Refused)
        return PlanOutcome::Refused;
    PlanFoldersOnTheWay(plan, folder, name);
    PlanOneFolder(plan, folder, name);
    return PlanOutcome::Planned;
}

PlanOutcome PlanFile(InstallPlan& plan, const std::wstring& target, const std::string& name,
                     std::uint64_t entry, std::uint64_t size, std::uint32_t crc)
{
    PlannedFile file;
    if (ResolveTarget(plan, target, name, file.target) == PlanOutcome::Refused)
        return PlanOutcome::Refused;
    PlanFoldersOnTheWay(plan, file.target, name);
    const std::wstring folded = FoldedName(file.target);
    const auto earlier = plan.plannedFiles.find(folded);
    if (earlier != plan.plannedFiles.end())
        return PlanLaterEntry(plan, earlier->second, name, entry, size, crc);
    bool replaces = false;
    Found found = Found::Nothing;
    if (plan.plannedDirectories.count(folded))
        found = Found::Directory;
    else if (!InFolderToBeMade(plan, file.target))
        found = WhatIsAt(FullPath(plan, file.target), &file.keptStamp);

    switch (found) {
    case Found::Nothing:
        break;
    case Found::File:
        if (IsThisProgram(FullPath(plan, file.target), file.keptStamp.size)) {
            Report(g_log, "Can't replace [%s]: it is the running updater itself.", name.c_str());
            return PlanOutcome::Refused;
        }
        replaces = true;
        break;
    case Found::ReadOnlyFile:
        // Windows refuses to replace a read-only file; not every file system
        // does, so refuse it here, before anything is written.
        Report(g_log, "Can't replace [%s]: the file is read-only.", name.c_str());
        return PlanOutcome::Refused;
    case Found::Link:
        // Writing through it would change a file outside the game's folder
        // (a mod manager's); replacing it would end the link. The player
        // decides, so neither is done.
        Report(g_log, "Can't replace [%s]: it is a link to another file.", name.c_str());
        return PlanOutcome::Refused;
    case Found::Directory:
        Report(g_log, "Can't replace [%s]: a folder has that name.", name.c_str());
        return PlanOutcome::Refused;
    case Found::Unknown:
        // Taking it for no file would replace it without keeping it.
        ReportLastError("GetFileAttributesEx");
        return PlanOutcome::Refused;
    }

    const size_t number = plan.files.size();
    file.temp = StagingName(file.target, plan.token, number, L".tmp");
    if (replaces)
        file.kept = StagingName(file.target, plan.token, number, L".old");
    file.name = name;
    file.size = size;
    file.crc = crc;
    plan.files.push_back(file);
    plan.reads.push_back(PlannedRead{number, entry, name, false});
    plan.plannedFiles[folded] = number;
    return PlanOutcome::Planned;
}
