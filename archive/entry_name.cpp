#include "archive/entry_name.h"

#include <windows.h>

#include "diag/text_codec.h"

namespace {

bool IsSeparator(wchar_t c)
{
    return c == L'/' || c == L'\\';
}

// "..", and the look-alikes that Windows trims to it (trailing dots and
// blanks are dropped from path components).
bool IsParentReference(const std::wstring& component)
{
    size_t dots = 0;
    for (wchar_t c : component) {
        if (c == L'.')
            ++dots;
        else if (c != L' ')
            return false;
    }
    return dots >= 2;
}

bool EqualsIgnoringCase(const std::wstring& a, const wchar_t* b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices in every folder, with
// any extension and trailing blanks; Windows also counts the superscript
// digits 1 to 3.
bool IsDeviceName(const std::wstring& component)
{
    std::wstring base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"})
        if (EqualsIgnoringCase(base, device))
            return true;
    if (base.size() != 4)
        return false;
    const std::wstring stem = base.substr(0, 3);
    if (!EqualsIgnoringCase(stem, L"COM") && !EqualsIgnoringCase(stem, L"LPT"))
        return false;
    const wchar_t digit = base[3];
    return (digit >= L'1' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 ||
           digit == 0x00B3;
}

} // namespace

bool IsSafeEntryName(const std::string& name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\')
        return false;
    if (name.find(':') != std::string::npos)
        return false;
    std::wstring wide;
    if (!Utf8ToWide(name, wide))
        return false;

    size_t start = 0;
    while (start <= wide.size()) {
        size_t end = start;
        while (end < wide.size() && !IsSeparator(wide[end]))
            ++end;
        const std::wstring component = wide.substr(start, end - start);
        if (IsParentReference(component) || IsDeviceName(component))
            return false;
        start = end + 1;
    }
    return true;
}
