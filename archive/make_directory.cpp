#include "archive/make_directory.h"

#include <windows.h>

#include <cstdio>

#include "diag/text_codec.h"

bool MakeDirectory(const std::string& path)
{
    std::wstring wide;
    Utf8ToWide(path, wide);
    if (CreateDirectoryW(wide.c_str(), nullptr))
        return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        perror(path.c_str());
    return false;
}

void MakeDirectoriesOnTheWay(const std::string& name, std::vector<std::wstring>& made)
{
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '/' && name[i] != '\\')
            continue;
        const std::string level = name.substr(0, i + 1);
        if (MakeDirectory(level)) {
            std::wstring wide;
            Utf8ToWide(level, wide);
            made.push_back(wide);
        }
    }
}
