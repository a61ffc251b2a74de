#include "install/win_paths.h"

#include <cstdio>

#include "diag/unique_handle.h"

namespace {

// A component that Windows may read as the short 8.3 name of another file
// or folder: short names hold a '~'. Wildcards make none.
bool MayBeShortName(const std::wstring& component)
{
    return component.find(L'~') != std::wstring::npos &&
           component.find_first_of(L"*?<>\"") == std::wstring::npos;
}

std::uint64_t Join(DWORD high, DWORD low)
{
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

FileId IdOfThisProgram()
{
    std::wstring program(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, &program[0], static_cast<DWORD>(program.size()));
        if (length == 0)
            return FileId();
        if (length < program.size())
            break;
        program.resize(program.size() * 2);
    }
    return FileIdOf(program.c_str());
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

bool ExtendedLengthRoot(std::wstring& root)
{
    std::wstring directory;
    if (!WorkingDirectory(directory))
        return false;
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

// GetLongPathNameW does this for whole paths, but not everywhere for the
// extended-length form that ours take; FindFirstFileW does, a component at
// a time.
std::wstring ResolveShortNames(const std::wstring& root, const std::wstring& name)
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
            const UniqueFind find(root + resolved + component);
            exists = find.Found();
            if (exists)
                component = find.Data().cFileName;
        }
        resolved += component;
        if (end == name.size())
            return resolved;
        resolved += L'\\';
        start = end + 1;
    }
}

FileId FileIdOf(const std::wstring& path)
{
    FileId id;
    UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file.IsValid() || !GetFileInformationByHandle(file.Get(), &info))
        return id;
    id.known = true;
    id.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    id.size = Join(info.nFileSizeHigh, info.nFileSizeLow);
    id.volume = info.dwVolumeSerialNumber;
    id.index = Join(info.nFileIndexHigh, info.nFileIndexLow);
    return id;
}

std::string FolderId(const std::wstring& path)
{
    const FileId id = FileIdOf(path);
    if (!id.known || !id.folder)
        return std::string();
    char text[32] = {};
    snprintf(text, sizeof text, "%08lx-%016llx", static_cast<unsigned long>(id.volume),
             static_cast<unsigned long long>(id.index));
    return text;
}

bool IsThisProgram(const std::wstring& path, std::uint64_t size)
{
    static const FileId program = IdOfThisProgram();
    if (!program.known || size != program.size)
        return false;
    const FileId file = FileIdOf(path);
    return file.known && !file.folder && file.volume == program.volume &&
           file.index == program.index;
}
