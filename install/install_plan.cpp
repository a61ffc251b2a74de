#include "install/install_plan.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "diag/unique_handle.h"
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

// A component that Windows may read as the short 8.3 name of another file
// or folder ("LEVEL~1.PAK"): short names hold a '~'. Wildcards make none.
bool MayBeShortName(const std::wstring& component)
{
    return component.find(L'~') != std::wstring::npos &&
           component.find_first_of(L"*?<>\"") == std::wstring::npos;
}

// name with every component that is the short name of an existing file or
// folder replaced by that one's long name, so that two entries for one file
// are found as one, whatever form each uses. GetLongPathNameW does this for
// whole paths, but not everywhere for the long form "\\?\" that ours take;
// FindFirstFileW does, a component at a time. A component that does not
// exist ends the lookup: nothing below it exists either.
std::wstring LongName(const InstallPlan& plan, const std::wstring& name)
{
    if (name.find(L'~') == std::wstring::npos)
        return name;
    std::wstring resolved;
    bool exists = true;
    for (size_t start = 0;;) {
        size_t end = name.find(L'\\', start);
        if (end == std::wstring::npos)
            end = name.size();
        std::wstring component = name.substr(start, end - start);
        if (exists && MayBeShortName(component)) {
            WIN32_FIND_DATAW found;
            HANDLE find = FindFirstFileW(FullPath(plan, resolved + component).c_str(), &found);
            exists = find != INVALID_HANDLE_VALUE;
            if (exists) {
                FindClose(find);
                component = found.cFileName;
            }
        }
        resolved += component;
        if (end == name.size())
            return resolved;
        resolved += L'\\';
        start = end + 1;
    }
}

// The long name of target; refused when it is another name of a file the
// update may not write (its own staging files, its journal), or a name the
// journal could not record as it is.
PlanOutcome ResolveTarget(const InstallPlan& plan, const std::wstring& target,
                          const std::string& name, std::wstring& resolved)
{
    resolved = LongName(plan, target);
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

// A file by its volume and number, which every name of it shares.
struct FileNumber {
    bool known = false;
    std::uint64_t size = 0;
    DWORD volume = 0, high = 0, low = 0;
};

FileNumber NumberOf(const std::wstring& path)
{
    FileNumber number;
    UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file.IsValid() || !GetFileInformationByHandle(file.Get(), &info))
        return number;
    number.known = true;
    number.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    number.volume = info.dwVolumeSerialNumber;
    number.high = info.nFileIndexHigh;
    number.low = info.nFileIndexLow;
    return number;
}

FileNumber NumberOfThisProgram()
{
    std::wstring program(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, &program[0], static_cast<DWORD>(program.size()));
        if (length == 0)
            return FileNumber();
        if (length < program.size())
            break;
        program.resize(program.size() * 2);
    }
    return NumberOf(program.c_str());
}

// Whether the file at path, found with stamp, is the one this program runs
// from: Windows lets nobody replace it while it runs, and a second name
// made for it could not be removed before the program ends. Only a file of
// the program's size is looked at more closely.
bool IsThisProgram(const std::wstring& path, const FileStamp& stamp)
{
    static const FileNumber program = NumberOfThisProgram();
    if (!program.known || stamp.size != program.size)
        return false;
    const FileNumber file = NumberOf(path);
    return file.known && file.volume == program.volume && file.high == program.high &&
           file.low == program.low;
}

} // namespace

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
    bool replaces = earlier != plan.plannedFiles.end();
    Found found = Found::Nothing;
    if (plan.plannedDirectories.count(folded))
        found = Found::Directory;
    else if (replaces)
        file.keptFrom = earlier->second; // already planned, and checked then
    else
        found = WhatIsAt(FullPath(plan, file.target), &file.keptStamp);

    switch (found) {
    case Found::Nothing:
        break;
    case Found::File:
        if (IsThisProgram(FullPath(plan, file.target), file.keptStamp)) {
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
    file.entry = entry;
    file.size = size;
    file.crc = crc;
    plan.files.push_back(file);
    plan.plannedFiles[folded] = number;
    return PlanOutcome::Planned;
}
