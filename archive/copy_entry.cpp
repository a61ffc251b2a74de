#include "archive/copy_entry.h"

#include <zlib.h>

#include <algorithm>

#include "diag/report.h"

std::string LibzipText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

namespace {

// Why a read delivered other than what the entry's stated size promised.
std::string ReadErrorText(zip_file_t* entry, zip_int64_t read)
{
    if (read < 0)
        return zip_file_strerror(entry);
    if (read == 0)
        return LibzipText(ZIP_ER_EOF);
    return LibzipText(ZIP_ER_INCONS);
}

} // namespace

CopyOutcome CopyEntry(zip_file_t* entry, const zip_stat_t& stat, HANDLE out, std::string& readError)
{
    const zip_uint64_t size = stat.size;
    char buffer[kPieceSize];
    zip_uint64_t copied = 0;
    while (copied < size) {
        const zip_int64_t read = zip_fread(entry, buffer, kPieceSize);
        if (read <= 0 || static_cast<zip_uint64_t>(read) > size - copied) {
            readError = ReadErrorText(entry, read);
            return CopyOutcome::ReadFailed;
        }
        DWORD written = 0;
        if (out && !WriteFile(out, buffer, static_cast<DWORD>(read), &written, nullptr)) {
            ReportLastError("WriteFile");
            return CopyOutcome::WriteFailed;
        }
        copied += static_cast<zip_uint64_t>(read);
    }

    const zip_int64_t beyond = zip_fread(entry, buffer, kPieceSize);
    if (beyond != 0) {
        readError = beyond < 0 ? zip_file_strerror(entry) : LibzipText(ZIP_ER_INCONS);
        return CopyOutcome::ReadFailed;
    }
    // libzip checks no CRC-32 for an entry without data, but empty data has
    // exactly one: 0.
    if (size == 0 && (stat.valid & ZIP_STAT_CRC) && stat.crc != 0) {
        readError = LibzipText(ZIP_ER_CRC);
        return CopyOutcome::ReadFailed;
    }
    return CopyOutcome::Copied;
}

CopyOutcome CopyDecoded(const zip_stat_t& stat, HANDLE out, std::string& readError,
                        const PieceDecoder& decode)
{
    unsigned char piece[kPieceSize];
    uLong crc = crc32(0L, Z_NULL, 0);
    zip_uint64_t copied = 0;
    while (copied < stat.size) {
        const size_t wanted = static_cast<size_t>(std::min(kPieceSize, stat.size - copied));
        const zip_int64_t decoded = decode(piece, wanted, readError);
        if (decoded <= 0) {
            if (readError.empty())
                readError = LibzipText(decoded < 0 ? ZIP_ER_COMPRESSED_DATA : ZIP_ER_EOF);
            return CopyOutcome::ReadFailed;
        }
        DWORD written = 0;
        if (out && !WriteFile(out, piece, static_cast<DWORD>(decoded), &written, nullptr)) {
            ReportLastError("WriteFile");
            return CopyOutcome::WriteFailed;
        }
        crc = crc32(crc, piece, static_cast<uInt>(decoded));
        copied += static_cast<zip_uint64_t>(decoded);
    }
    if ((stat.valid & ZIP_STAT_CRC) && static_cast<std::uint32_t>(crc) != stat.crc) {
        readError = LibzipText(ZIP_ER_CRC);
        return CopyOutcome::ReadFailed;
    }
    return CopyOutcome::Copied;
}
