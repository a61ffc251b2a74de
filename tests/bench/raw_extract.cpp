// Bench only: the bare extraction loop that vestrel.exe's unpacking is
// measured against. libzip reads, WriteFile writes, in pieces of the given
// size; no checks, no log. With "staged" each file is written under a
// temporary name and then moved onto its own, as vestrel.exe does; with
// "durable" it is also flushed to disk before its rename, which is what it
// takes for a power cut to find either the old file or the new one whole.
//   raw_extract.exe ARCHIVE PIECE_BYTES [staged|durable]
#include <windows.h>
#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const char* utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &wide[0], n);
    wide.pop_back();
    return wide;
}

void MakeParents(const std::wstring& name)
{
    for (size_t i = 0; i < name.size(); ++i)
        if (name[i] == L'/')
            CreateDirectoryW(name.substr(0, i).c_str(), nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4)
        return 2;
    const bool staged = argc == 4;
    const bool durable = staged && std::string(argv[3]) == "durable";
    const size_t piece = strtoul(argv[2], nullptr, 10);
    std::vector<char> buffer(piece);
    int error = 0;
    zip_t* archive = zip_open(argv[1], 0, &error);
    if (!archive)
        return 3;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat);
        const std::wstring name = Wide(stat.name);
        MakeParents(name);
        if (name.back() == L'/')
            continue;
        zip_file_t* entry = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        const std::wstring written = staged ? name + L".tmp" : name;
        HANDLE out = CreateFileW(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        zip_int64_t n;
        while ((n = zip_fread(entry, buffer.data(), piece)) > 0) {
            DWORD written = 0;
            WriteFile(out, buffer.data(), static_cast<DWORD>(n), &written, nullptr);
        }
        if (durable)
            FlushFileBuffers(out);
        CloseHandle(out);
        zip_fclose(entry);
        if (staged)
            MoveFileExW(written.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    zip_discard(archive);
    return 0;
}
