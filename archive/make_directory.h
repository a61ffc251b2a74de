#pragma once

#include <string>
#include <vector>

// Makes one directory (path in UTF-8). An existing directory counts as
// success; any other failure is printed to standard error and the caller
// goes on. Returns true only when this call made the directory.
bool MakeDirectory(const std::string& path);

// Makes every directory on the way to name (UTF-8, '/' or '\' separated),
// one level at a time, each level ending at a separator: for "a/b/c.txt"
// "a/" and "a/b/", for the directory entry "a/b/" the same two. The
// directories made now are added to made, outermost first.
void MakeDirectoriesOnTheWay(const std::string& name, std::vector<std::wstring>& made);
