#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

// Reads the open file from where it stands to its end: the CRC-32 and the
// count of its bytes. Each piece read also goes to alsoTo, where given (a
// copy), which may refuse it. False when a read fails (reported) or alsoTo
// refuses.
bool ReadWithCrc(HANDLE file, std::uint32_t& crc, std::uint64_t& size,
                 const std::function<bool(const unsigned char*, DWORD)>& alsoTo = nullptr);
