#include "install/preflight.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "diag/unique_handle.h"
#include "install/file_identity.h"
#include "install/install_name.h"
#include "install/journal_format.h"
#include "install/retry_while_held.h"

namespace {

// The largest file FAT keeps: its sizes are 32-bit ("File Systems
// Functionality Comparison", Microsoft Learn: 4 GiB less one byte).
const std::uint64_t kLargestFatFile = 0xFFFFFFFFull;

std::string Shown(const std::wstring& folder)
{
    return folder.empty() ? std::string(".") : WideToUtf8(folder);
}

// The nearest folder on the way to folder that is there now: where a folder
// the update makes will be made.
std::wstring ExistingFolder(const InstallPlan& plan, std::wstring folder)
{
    while (!folder.empty() && WhatIsAt(FullPath(plan, folder)) != Found::Directory)
        folder = FolderOf(folder);
    return folder;
}

// The name of a probe in folder. Probes are made and gone within a run; one
// that a stop left (a power cut, or a kill between the probe and its second
// name) is removed before the folder is probed again.
std::wstring ProbeName(const InstallPlan& plan, const std::wstring& folder, size_t number)
{
    return FullPath(plan, StagingName(folder.empty() ? L"probe" : folder + L"\\probe", plan.token,
                                      number, L".probe"));
}

void RemoveOldProbes(const InstallPlan& plan, const std::wstring& folder)
{
    const std::wstring in = folder.empty() ? std::wstring() : folder + L"\\";
    UniqueFind find(FullPath(plan, in + kStagingPattern + L".probe"));
    for (bool more = find.Found(); more; more = find.Next()) {
        if (!(find.Data().dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileW(FullPath(plan, in + find.Data().cFileName).c_str());
    }
}

// Whether folder can take a new file: one is made there under a staging
// name and deleted as it is closed, so nothing is left.
bool CanTakeNewFile(const InstallPlan& plan, const std::wstring& folder, const std::string& name)
{
    RemoveOldProbes(plan, folder);
    UniqueHandle file(CreateFileW(ProbeName(plan, folder, 0).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                  nullptr));
    if (file.IsValid())
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) {
        Report(g_log, "Can't write [%s]: the folder [%s] cannot be written by this Windows user.",
               name.c_str(), Shown(folder).c_str());
    } else {
        ReportLastError("CreateFile");
        Report(g_log, "Can't write [%s]: the folder [%s] cannot take a new file.", name.c_str(),
               Shown(folder).c_str());
    }
    return false;
}

// Whether the file the update replaces can be replaced: this Windows user
// may change it, and no program holds it (a running program's image cannot
// be opened for writing).
bool CanReplace(const InstallPlan& plan, const PlannedFile& file)
{
    const std::wstring target = FullPath(plan, file.target);
    HeldRules rules;
    rules.players = true;
    const bool free = RetryWhileFileHeld(Patience::InUse, target,
                                         [&target] { return OpenToChange(target).IsValid(); }, rules);
    if (free)
        return true;
    const DWORD error = GetLastError();
    const char* name = file.name.c_str();
    const Denial denial = error == ERROR_ACCESS_DENIED ? WhyDenied(target) : Denial::Held;
    if (IsSharingViolation(error) || (error == ERROR_ACCESS_DENIED && denial == Denial::Held)) {
        Report(g_log, "Can't replace [%s]: a program holds it.", name);
    } else if (error == ERROR_ACCESS_DENIED && denial == Denial::ReadOnly) {
        Report(g_log, "Can't replace [%s]: the file is read-only.", name);
    } else if (error == ERROR_ACCESS_DENIED) {
        Report(g_log, "Can't replace [%s]: this Windows user may not change it.", name);
    } else {
        ReportLastError("CreateFile");
    }
    return false;
}

// Whether folder's volume makes hard links (FAT, exFAT and some shares do
// not), asked of it: a probe and a second name for it, both gone after.
bool MakesHardLinks(const InstallPlan& plan, const std::wstring& folder)
{
    // Names of their own: the first probe's may still wait for a scanner
    // to let it go.
    const std::wstring probe = ProbeName(plan, folder, 1), link = ProbeName(plan, folder, 2);
    UniqueHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    const bool linked = file.IsValid() && CreateHardLinkW(link.c_str(), probe.c_str(), nullptr);
    if (linked)
        DeleteFileW(link.c_str());
    return linked;
}

// One volume the update writes to, as its folders find it.
struct Volume {
    std::wstring folder;      // a folder of the update on it
    size_t firstFile = 0;     // the first file of the plan that goes there
    bool hardLinks = false;   // a replaced file is kept as a second name, not a copy
    bool fat = false;         // no file of 4 GiB or more
    std::uint64_t cluster = 4096;
    std::uint64_t needed = 0;
};

Volume VolumeOf(const InstallPlan& plan, const std::wstring& folder, size_t file)
{
    Volume volume;
    volume.folder = folder;
    volume.firstFile = file;
    const std::wstring path = FullPath(plan, folder);
    wchar_t root[MAX_PATH + 1] = {}, system[MAX_PATH + 1] = {};
    if (GetVolumePathNameW(path.c_str(), root, MAX_PATH) &&
        GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH + 1))
        volume.fat = std::wstring(system) == L"FAT32" || std::wstring(system) == L"FAT";
    volume.hardLinks = MakesHardLinks(plan, folder);
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (GetDiskFreeSpaceW((path.back() == L'\\' ? path : path + L'\\').c_str(), &sectorsPerCluster,
                          &bytesPerSector, &freeClusters, &clusters) &&
        sectorsPerCluster && bytesPerSector)
        volume.cluster = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
    return volume;
}

// The volume's root, by which folders on one volume are told: a folder
// linked to another drive is on that drive.
std::wstring VolumeKey(const InstallPlan& plan, const std::wstring& folder)
{
    wchar_t root[MAX_PATH + 1] = {};
    const std::wstring path = FullPath(plan, folder);
    return GetVolumePathNameW(path.c_str(), root, MAX_PATH) ? FoldedName(root) : FoldedName(path);
}

std::uint64_t InClusters(std::uint64_t size, std::uint64_t cluster)
{
    return (size + cluster - 1) / cluster * cluster;
}

// Whether each volume has room for what the update writes there; where one
// has not, failedName is its first file.
bool HasRoom(const InstallPlan& plan, const std::vector<Volume>& volumes, std::string& failedName)
{
    for (const Volume& volume : volumes) {
        ULARGE_INTEGER available = {}, total = {}, free = {};
        if (!GetDiskFreeSpaceExW(FullPath(plan, volume.folder).c_str(), &available, &total, &free))
            continue; // cannot say: the writes themselves will tell
        if (volume.needed <= available.QuadPart)
            continue;
        Report(g_log, "Can't write [%s]: the update needs %llu bytes on the drive of [%s], and %llu "
                      "are free.",
               plan.files[volume.firstFile].name.c_str(),
               static_cast<unsigned long long>(volume.needed), Shown(volume.folder).c_str(),
               static_cast<unsigned long long>(available.QuadPart));
        failedName = plan.files[volume.firstFile].name;
        return false;
    }
    return true;
}

} // namespace

bool CheckBeforeWriting(const InstallPlan& plan, std::string& failedName)
{
    // The journal is written in the working folder before any file; where
    // it cannot be, no file of the update can be written.
    failedName = plan.files.front().name;
    if (!CanTakeNewFile(plan, std::wstring(), failedName))
        return false;
    // Each folder is asked once: what of it is there, and its volume.
    std::map<std::wstring, size_t> folders;           // a target's folder: its volume
    std::set<std::wstring> probed = {std::wstring()}; // folders there that take a file
    std::map<std::wstring, size_t> volumeOf;          // a volume's root: the volume
    std::vector<Volume> volumes;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        const PlannedFile& file = plan.files[i];
        failedName = file.name;
        const std::wstring targetFolder = FolderOf(file.target);
        auto known = folders.find(targetFolder);
        if (known == folders.end()) {
            const std::wstring folder = ExistingFolder(plan, targetFolder);
            if (!probed.count(folder) && !CanTakeNewFile(plan, folder, file.name))
                return false;
            probed.insert(folder);
            const std::wstring key = VolumeKey(plan, folder);
            if (!volumeOf.count(key)) {
                volumeOf[key] = volumes.size();
                volumes.push_back(VolumeOf(plan, folder, i));
            }
            known = folders.emplace(targetFolder, volumeOf[key]).first;
        }
        if (!file.kept.empty() && !CanReplace(plan, file))
            return false;
        Volume& volume = volumes[known->second];
        if (volume.fat && file.size > kLargestFatFile) {
            Report(g_log, "Can't write [%s]: it is %llu bytes, and a FAT32 drive takes no file of 4 "
                          "GiB or more.",
                   file.name.c_str(), static_cast<unsigned long long>(file.size));
            return false;
        }
        volume.needed += InClusters(file.size, volume.cluster);
        if (!file.kept.empty() && !volume.hardLinks)
            volume.needed += InClusters(file.keptStamp.size, volume.cluster);
    }
    // The journal: its plan, and records of some bytes for each folder and file.
    const std::wstring root = VolumeKey(plan, std::wstring());
    if (!volumeOf.count(root)) {
        volumeOf[root] = volumes.size();
        volumes.push_back(VolumeOf(plan, std::wstring(), 0));
    }
    Volume& journal = volumes[volumeOf[root]];
    journal.needed += InClusters(PlanText(plan).size() + 32 * plan.directories.size() +
                                     10 * plan.files.size() + 64,
                                 journal.cluster);
    return HasRoom(plan, volumes, failedName);
}
