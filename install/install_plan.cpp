#include "install/install_plan.h"

#include <windows.h>

#include <cstdio>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/install_name.h"

namespace {

// The working directory in the long form, which the file calls take at any
// length. A network share's "\\server\share" becomes "\\?\UNC\server\share".
bool LongWorkingDirectory(std::wstring& root)
{
    std::wstring directory;
    if (!WorkingDirectory(directory)) {
        ReportLastError("GetCurrentDirectory");
        return false;
    }
    if (directory.compare(0, 4, L"\\\\?\\") == 0)
        root = directory;
    else if (directory.compare(0, 2, L"\\\\") == 0)
        root = L"\\\\?\\UNC\\" + directory.substr(2);
    else
        root = L"\\\\?\\" + directory;
    if (root.back() != L'\\')
        root += L'\\';
    return true;
}

// The upper-cased form under which Windows compares names.
std::wstring FoldedName(const std::wstring& name)
{
    std::wstring folded = name;
    if (!folded.empty())
        CharUpperBuffW(&folded[0], static_cast<DWORD>(folded.size()));
    return folded;
}

// The folders on the way to name, outermost first: for "a\b\c" "a" and "a\b".
void PlanFoldersOnTheWay(InstallPlan& plan, const std::wstring& name)
{
    for (size_t at = name.find(L'\\'); at != std::wstring::npos; at = name.find(L'\\', at + 1))
        PlanDirectory(plan, name.substr(0, at));
}

void PlanOneFolder(InstallPlan& plan, const std::wstring& name)
{
    const std::wstring folded = FoldedName(name);
    // A name that an earlier entry brings as a file exists by then.
    if (plan.plannedDirectories.count(folded) || plan.plannedFiles.count(folded))
        return;
    if (WhatIsAt(FullPath(plan, name)) != Found::Nothing)
        return;
    plan.plannedDirectories.insert(folded);
    plan.directories.push_back(name);
}

} // namespace

Found WhatIsAt(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return Found::Nothing;
        SetLastError(error); // for the report of the caller
        return Found::Unknown;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Found::Directory;
    return attributes & FILE_ATTRIBUTE_READONLY ? Found::ReadOnlyFile : Found::File;
}

bool WorkingDirectory(std::wstring& directory)
{
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    directory.assign(size, L'\0');
    const DWORD length = size ? GetCurrentDirectoryW(size, &directory[0]) : 0;
    if (length == 0 || length >= size)
        return false;
    directory.resize(length);
    return true;
}

bool StartPlan(InstallPlan& plan)
{
    plan = InstallPlan();
    if (!LongWorkingDirectory(plan.root))
        return false;
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

void PlanDirectory(InstallPlan& plan, const std::wstring& name)
{
    if (name.empty())
        return;
    PlanFoldersOnTheWay(plan, name);
    PlanOneFolder(plan, name);
}

PlanOutcome PlanFile(InstallPlan& plan, const std::wstring& target, const std::string& name,
                     std::uint64_t entry)
{
    PlanFoldersOnTheWay(plan, target);
    const std::wstring folded = FoldedName(target);
    bool replaces = plan.plannedFiles.count(folded) != 0;
    switch (plan.plannedDirectories.count(folded) ? Found::Directory
                                                  : WhatIsAt(FullPath(plan, target))) {
    case Found::Nothing:
        break;
    case Found::File:
        replaces = true;
        break;
    case Found::ReadOnlyFile:
        // Windows refuses to replace a read-only file; not every file system
        // does, so refuse it here, before anything is written.
        Report(g_log, "Can't replace [%s]: the file is read-only.", name.c_str());
        return PlanOutcome::Refused;
    case Found::Directory:
        Report(g_log, "Can't replace [%s]: a folder has that name.", name.c_str());
        return PlanOutcome::Refused;
    case Found::Unknown:
        // Taking it for no file would replace it without keeping it.
        ReportLastError("GetFileAttributes");
        return PlanOutcome::Refused;
    }

    PlannedFile file;
    file.target = target;
    file.temp = StagingName(target, plan.token, plan.files.size(), L".tmp");
    if (replaces)
        file.kept = StagingName(target, plan.token, plan.files.size(), L".old");
    file.name = name;
    file.entry = entry;
    plan.files.push_back(file);
    plan.plannedFiles.insert(folded);
    return PlanOutcome::Planned;
}
