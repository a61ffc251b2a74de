// Bench only: vestrel.exe whose plan asks the file system nothing: every
// name is taken for one with nothing there, which is the truth when it
// unpacks into an empty folder, as the bench does. Measures what those
// queries cost. Takes the place of install/file_identity.cpp.
#include "install/file_identity.h"

Found WhatIsAt(const std::wstring&, FileStamp*, Patience)
{
    return Found::Nothing;
}

Identity CompareStamp(const std::wstring&, const FileStamp&, Patience)
{
    return Identity::Missing;
}

Identity CompareContent(const std::wstring&, std::uint64_t, std::uint32_t, Patience)
{
    return Identity::Missing;
}

bool ContentOf(const std::wstring&, std::uint64_t&, std::uint32_t&, Patience)
{
    return false;
}

bool ClearReadOnly(const std::wstring&)
{
    return false;
}
