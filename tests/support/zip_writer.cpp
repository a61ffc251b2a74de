#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "tests/support/test_support.h"

ZipBuilder& ZipBuilder::File(const std::string& name, const std::string& data, zip_int32_t method)
{
    m_entries.push_back(Entry{name, data, method, false, nullptr});
    return *this;
}

ZipBuilder& ZipBuilder::Directory(const std::string& name)
{
    m_entries.push_back(Entry{name, std::string(), ZIP_CM_STORE, true, nullptr});
    return *this;
}

ZipBuilder& ZipBuilder::Encrypted(const std::string& name, const std::string& data,
                                  const char* password)
{
    m_entries.push_back(Entry{name, data, ZIP_CM_STORE, false, password});
    return *this;
}

namespace {

// What libzip wrote into a buffer source.
std::string BytesOf(zip_source_t* written)
{
    std::string bytes;
    if (zip_source_open(written) != 0)
        return bytes;
    char buffer[64 * 1024];
    for (zip_int64_t n; (n = zip_source_read(written, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<size_t>(n));
    zip_source_close(written);
    return bytes;
}

} // namespace

// The archive is made in memory and then written as a plain file: libzip's
// own way of writing one (a temporary file renamed) fails on the FUSE FAT32
// volume of the tests.
bool ZipBuilder::WriteTo(const std::wstring& path) const
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* written = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t* archive = written ? zip_open_from_source(written, ZIP_TRUNCATE, &error) : nullptr;
    EXPECT_NE(archive, nullptr) << zip_error_strerror(&error);
    zip_error_fini(&error);
    if (!archive) {
        zip_source_free(written);
        return false;
    }
    zip_source_keep(written);
    bool ok = true;
    for (const Entry& entry : m_entries) {
        zip_int64_t index;
        if (entry.directory) {
            index = zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t* source =
                zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
            index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0)
                zip_source_free(source);
            else
                ok = ok && zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                                    entry.method, 0) == 0;
            if (index >= 0 && entry.password)
                ok = ok && zip_file_set_encryption(archive, static_cast<zip_uint64_t>(index),
                                                   ZIP_EM_AES_256, entry.password) == 0;
        }
        ok = ok && index >= 0;
    }
    EXPECT_TRUE(ok) << zip_strerror(archive);
    if (zip_close(archive) != 0) {
        ADD_FAILURE() << "zip_close: " << zip_strerror(archive);
        zip_discard(archive);
        zip_source_free(written);
        return false;
    }
    WriteFileBytes(path, BytesOf(written));
    zip_source_free(written);
    return ok;
}

namespace {

void Put16(std::string& out, std::uint32_t value)
{
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

} // namespace

std::string RawZip(const std::vector<RawEntry>& entries)
{
    std::string body, directory;
    for (const RawEntry& entry : entries) {
        const std::uint32_t crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
                  static_cast<uInt>(entry.data.size())));
        const std::uint32_t size = static_cast<std::uint32_t>(entry.data.size());
        const std::uint32_t offset = static_cast<std::uint32_t>(body.size());

        Put32(body, 0x04034b50);
        Put16(body, 20);
        Put16(body, entry.flags);
        Put16(body, entry.method);
        Put32(body, 0); // time and date
        Put32(body, crc);
        Put32(body, size);
        Put32(body, size);
        Put16(body, static_cast<std::uint32_t>(entry.name.size()));
        Put16(body, 0);
        body += entry.name;
        body += entry.data;

        Put32(directory, 0x02014b50);
        Put16(directory, 20);
        Put16(directory, 20);
        Put16(directory, entry.flags);
        Put16(directory, entry.method);
        Put32(directory, 0);
        Put32(directory, crc);
        Put32(directory, size);
        Put32(directory, size);
        Put16(directory, static_cast<std::uint32_t>(entry.name.size()));
        Put16(directory, 0); // extra
        Put16(directory, 0); // comment
        Put16(directory, 0); // disk
        Put16(directory, 0); // internal attributes
        Put32(directory, 0); // external attributes
        Put32(directory, offset);
        directory += entry.name;
    }
    std::string zip = body + directory;
    Put32(zip, 0x06054b50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, static_cast<std::uint32_t>(entries.size()));
    Put16(zip, static_cast<std::uint32_t>(entries.size()));
    Put32(zip, static_cast<std::uint32_t>(directory.size()));
    Put32(zip, static_cast<std::uint32_t>(body.size()));
    Put16(zip, 0);
    return zip;
}

std::string EmptyZip()
{
    return RawZip({});
}

std::string WithLzmaDictionary(std::string zip, std::uint32_t size)
{
    for (size_t at = zip.find("PK\x03\x04"); at != std::string::npos; at = zip.find("PK\x03\x04", at + 4)) {
        const size_t data = at + 30 + static_cast<unsigned char>(zip[at + 26]) +
                            static_cast<unsigned char>(zip[at + 28]);
        for (int byte = 0; byte < 4; ++byte)
            zip[data + 5 + byte] = static_cast<char>((size >> (8 * byte)) & 0xFF);
    }
    return zip;
}

std::string PatternBytes(size_t n, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}
