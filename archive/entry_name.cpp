#include "archive/entry_name.h"

#include "diag/text_codec.h"
#include "install/install_name.h"

bool IsDirectoryEntry(const std::string& name, std::uint64_t size)
{
    return !name.empty() && (name.back() == '/' || (name.back() == '\\' && size == 0));
}

bool EntryTarget(const std::string& name, bool isDirectory, std::wstring& target)
{
    target.clear();
    // A file name ending in a separator names no file: Windows cannot make it.
    if (!isDirectory && !name.empty() && (name.back() == '/' || name.back() == '\\'))
        return false;
    std::wstring wide;
    if (!Utf8ToWide(name, wide) || !NormalizeInstallName(wide, target))
        return false;
    return isDirectory || !target.empty();
}
