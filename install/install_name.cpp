#include "install/install_name.h"

#include <windows.h>

#include <cwchar>

const wchar_t kJournalName[] = L"vestrel_journal.txt";
const wchar_t kJournalDraftName[] = L"~vestrel-journal.tmp";
const wchar_t kStagingPattern[] = L"~vestrel-*";

namespace {

const wchar_t kStagingPrefix[] = L"~vestrel-";
// The log that every start rewrites (diag/log_file.cpp).
const wchar_t kLogName[] = L"vestrel_logs.txt";

bool IsSeparator(wchar_t c)
{
    return c == L'/' || c == L'\\';
}

bool EqualsIgnoringCase(const std::wstring& a, const wchar_t* b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

bool StartsWithIgnoringCase(const std::wstring& text, const wchar_t* prefix)
{
    const int length = lstrlenW(prefix);
    return text.size() >= static_cast<size_t>(length) &&
           CompareStringOrdinal(text.c_str(), length, prefix, length, TRUE) == CSTR_EQUAL;
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

// "..", "...", ".. " and every other component that Windows would trim:
// with long paths it is not trimmed, and two names would meet in one file
// or make one that Explorer cannot delete.
bool EndsInDotOrBlank(const std::wstring& component)
{
    return component.back() == L'.' || component.back() == L' ';
}

bool IsSafeComponent(const std::wstring& component, bool atRoot)
{
    // Control characters, and what Windows names cannot hold: a stream's
    // colon, wildcards, quotes and redirections.
    for (wchar_t c : component)
        if (c < 0x20 || wcschr(L":*?\"<>|", c))
            return false;
    if (EndsInDotOrBlank(component) || IsDeviceName(component))
        return false;
    // Our staging files could be taken for another entry's, and the journal
    // is the running update's record (its draft has the staging prefix).
    if (StartsWithIgnoringCase(component, kStagingPrefix))
        return false;
    return !(atRoot &&
             (EqualsIgnoringCase(component, kJournalName) || EqualsIgnoringCase(component, kLogName)));
}

} // namespace

bool NormalizeInstallName(const std::wstring& name, std::wstring& normal)
{
    normal.clear();
    if (name.empty() || IsSeparator(name[0]))
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !IsSeparator(name[end]))
            ++end;
        const std::wstring component = name.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == L".")
            continue;
        if (!IsSafeComponent(component, normal.empty()))
            return false;
        if (!normal.empty())
            normal += L'\\';
        normal += component;
    }
    return true;
}

std::wstring FolderOf(const std::wstring& name)
{
    const size_t separator = name.find_last_of(L'\\');
    return separator == std::wstring::npos ? std::wstring() : name.substr(0, separator);
}

std::wstring FoldedName(const std::wstring& name)
{
    std::wstring folded = name;
    if (!folded.empty())
        CharUpperBuffW(&folded[0], static_cast<DWORD>(folded.size()));
    return folded;
}

std::wstring StagingName(const std::wstring& target, const std::wstring& token, size_t number,
                         const wchar_t* suffix)
{
    const size_t separator = target.find_last_of(L'\\');
    const std::wstring folder =
        separator == std::wstring::npos ? std::wstring() : target.substr(0, separator + 1);
    return folder + kStagingPrefix + token + L"-" + std::to_wstring(number) + suffix;
}

std::wstring CopyName(const std::wstring& temp)
{
    return temp.substr(0, temp.size() - 4) + L".cpy";
}

std::wstring StagedFolderName(const std::wstring& folder, const std::wstring& token, size_t number)
{
    std::wstring staged = StagingName(folder, token, number, L".dir");
    const size_t ownLength = folder.size() - (folder.find_last_of(L'\\') + 1);
    const size_t stagedLength = staged.size() - (staged.find_last_of(L'\\') + 1);
    if (ownLength > stagedLength)
        staged.insert(staged.size() - 4, ownLength - stagedLength, L'_');
    return staged;
}
