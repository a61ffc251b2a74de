#include "install/file_crc.h"

#include <zlib.h>

#include <vector>

#include "diag/report.h"

bool ReadWithCrc(HANDLE file, std::uint32_t& crc, std::uint64_t& size,
                 const std::function<bool(const unsigned char*, DWORD)>& alsoTo)
{
    std::vector<unsigned char> buffer(64 * 1024);
    uLong sum = crc32(0L, Z_NULL, 0);
    size = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            ReportLastError("ReadFile");
            return false;
        }
        if (read == 0)
            break;
        if (alsoTo && !alsoTo(buffer.data(), read))
            return false;
        sum = crc32(sum, buffer.data(), static_cast<uInt>(read));
        size += read;
    }
    crc = static_cast<std::uint32_t>(sum);
    return true;
}
