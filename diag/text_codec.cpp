#include "diag/text_codec.h"

#include <windows.h>

namespace {

std::wstring MultiByteToWide(UINT codePage, DWORD flags, const std::string& text, bool& valid)
{
    valid = true;
    if (text.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(codePage, flags, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        valid = false;
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), &wide[0],
                        length);
    return wide;
}

std::string WideToMultiByte(UINT codePage, const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return std::string();
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &narrow[0],
                        length, nullptr, nullptr);
    return narrow;
}

} // namespace

std::wstring AnsiToWide(const std::string& text)
{
    bool valid = true;
    return MultiByteToWide(CP_ACP, 0, text, valid);
}

std::string WideToAnsi(const std::wstring& text)
{
    return WideToMultiByte(CP_ACP, text);
}

std::string WideToUtf8(const std::wstring& text)
{
    return WideToMultiByte(CP_UTF8, text);
}

bool Utf8ToWide(const std::string& text, std::wstring& wide)
{
    bool valid = true;
    wide = MultiByteToWide(CP_UTF8, MB_ERR_INVALID_CHARS, text, valid);
    return valid;
}
