#pragma once

#include <zip.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

// Archives for the tests, in two ways: through libzip (deflate, bzip2,
// AES), and byte by byte for what libzip will not write (empty or invalid
// names, flags and methods of our choosing).

class ZipBuilder {
public:
    ZipBuilder& File(const std::string& name, const std::string& data,
                     zip_int32_t method = ZIP_CM_DEFLATE);
    ZipBuilder& Directory(const std::string& name);
    ZipBuilder& Encrypted(const std::string& name, const std::string& data,
                          const char* password);
    // Writes the archive; false (with a test failure) when libzip refuses.
    bool WriteTo(const std::wstring& path) const;

private:
    struct Entry {
        std::string name;
        std::string data;
        zip_int32_t method;
        bool directory;
        const char* password;
    };
    std::vector<Entry> m_entries;
};

struct RawEntry {
    std::string name;
    std::string data;
    std::uint16_t flags = 0;  // general purpose bits: 0x0001 encrypted, 0x0800 UTF-8 name
    std::uint16_t method = 0; // 0 stored; the data is written as it is whatever this says
};

// A stored archive written by hand, with CRC-32 and sizes from the data.
std::string RawZip(const std::vector<RawEntry>& entries);

// The archive with no entries: just the end-of-central-directory record.
std::string EmptyZip();

// The LZMA archive zip with every entry's header naming a dictionary of
// size bytes (its data begins with version, properties' size, then lc/lp/pb
// and the dictionary size).
std::string WithLzmaDictionary(std::string zip, std::uint32_t size);

// n bytes from a fixed seed, the same on every run.
std::string PatternBytes(size_t n, unsigned seed);
