#include "archive/make_directory.h"

#include <windows.h>

#include <cstdio>

bool MakeDirectory(const std::wstring& path, const std::string& name)
{
    if (CreateDirectoryW(path.c_str(), nullptr))
        return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        perror(name.c_str());
    return false;
}
