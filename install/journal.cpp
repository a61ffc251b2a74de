#include "install/journal.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/install_name.h"
#include "install/retry_while_held.h"

namespace {

const char kHeader[] = "vestrel journal 1";
const char kMoving[] = "moving\n";
const char kMoved[] = "moved\n";
// A plan of some 400,000 files stays below this, and the 32-bit build can
// still hold it; the update refuses a larger one, so a larger journal is
// not ours.
const size_t kLargestJournal = 64u << 20;

std::string Checksum(const std::string& bytes)
{
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()),
                            static_cast<uInt>(bytes.size()));
    char text[16] = {};
    snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(crc));
    return text;
}

std::string PlanText(const InstallPlan& plan)
{
    std::string text = std::string(kHeader) + "\ntoken\t" + WideToUtf8(plan.token) + "\n";
    for (const std::wstring& directory : plan.directories)
        text += "dir\t" + WideToUtf8(directory) + "\n";
    for (const PlannedFile& file : plan.files)
        text += "file\t" + WideToUtf8(file.target) + "\t" + WideToUtf8(file.temp) + "\t" +
                WideToUtf8(file.kept) + "\n";
    return text + "end\t" + Checksum(text) + "\n";
}

bool WriteDurably(HANDLE journal, const std::string& text, const char* what)
{
    DWORD written = 0;
    if (!WriteFile(journal, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        ReportLastError("WriteFile");
        Report(g_log, "Can't write the journal: %s", what);
        return false;
    }
    if (!FlushFileBuffers(journal)) {
        ReportLastError("FlushFileBuffers");
        Report(g_log, "Can't write the journal: %s", what);
        return false;
    }
    return true;
}

bool ReadWhole(HANDLE journal, std::string& bytes)
{
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(journal, &size) || size.QuadPart > static_cast<LONGLONG>(kLargestJournal))
        return false;
    try {
        bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    } catch (const std::bad_alloc&) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!ReadFile(journal, &bytes[done], piece, &read, nullptr) || read == 0)
            return false;
        done += read;
    }
    return true;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

// "<process id>-<8 hex digits>", as StartPlan makes it.
bool IsToken(const std::string& token)
{
    const size_t dash = token.find('-');
    if (dash == std::string::npos || dash == 0 || dash > 10 || token.size() != dash + 9)
        return false;
    for (size_t i = 0; i < token.size(); ++i) {
        const char c = token[i];
        const bool ok = i < dash ? (c >= '0' && c <= '9')
                                 : i == dash || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (!ok)
            return false;
    }
    return true;
}

// A name an update of ours could have used: in the install's normal form.
bool IsInstallName(const std::string& utf8, std::wstring& name)
{
    std::wstring normal;
    return Utf8ToWide(utf8, name) && NormalizeInstallName(name, normal) && !normal.empty() &&
           normal == name;
}

bool ParseFile(const std::vector<std::string>& fields, InstallPlan& plan, std::string& why)
{
    PlannedFile file;
    if (fields.size() != 4 || !IsInstallName(fields[1], file.target)) {
        why = "a file record names no file of the install";
        return false;
    }
    // The staging names follow from the target, the token and the number.
    const size_t number = plan.files.size();
    file.temp = StagingName(file.target, plan.token, number, L".tmp");
    if (!fields[3].empty())
        file.kept = StagingName(file.target, plan.token, number, L".old");
    if (fields[2] != WideToUtf8(file.temp) || fields[3] != WideToUtf8(file.kept)) {
        why = "a file record names staging files that are not its own";
        return false;
    }
    file.name = fields[1];
    plan.files.push_back(file);
    return true;
}

// The plan's records, up to and including "end"; returns where its
// checksummed text ends, or npos.
size_t ParsePlan(const std::string& bytes, InstallPlan& plan, std::string& why)
{
    size_t start = 0;
    for (int line = 0;; ++line) {
        const size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            why = "it ends inside its plan";
            return std::string::npos;
        }
        const std::vector<std::string> fields = Fields(bytes.substr(start, end - start));
        const size_t next = end + 1;
        if (line == 0 && (fields.size() != 1 || fields[0] != kHeader)) {
            why = "it is not a journal of this program";
            return std::string::npos;
        }
        if (line == 1) {
            if (fields.size() != 2 || fields[0] != "token" || !IsToken(fields[1])) {
                why = "its token is damaged";
                return std::string::npos;
            }
            Utf8ToWide(fields[1], plan.token);
        }
        if (line >= 2 && fields[0] == "end") {
            if (fields.size() != 2 || fields[1] != Checksum(bytes.substr(0, start))) {
                why = "its checksum does not match";
                return std::string::npos;
            }
            return next;
        }
        if (line >= 2 && fields[0] == "dir") {
            std::wstring directory;
            if (fields.size() != 2 || !plan.files.empty() || !IsInstallName(fields[1], directory)) {
                why = "a folder record names no folder of the install";
                return std::string::npos;
            }
            plan.directories.push_back(directory);
        } else if (line >= 2 && fields[0] == "file") {
            if (!ParseFile(fields, plan, why))
                return std::string::npos;
        } else if (line >= 2) {
            why = "it holds a record it should not";
            return std::string::npos;
        }
        start = next;
    }
}

// The phase records after the plan. A power cut during one leaves it torn
// (cut short, or padded with zero bytes where the file grew but its data
// never arrived); the moves begin only after "moving" is on disk and the
// kept files go only after "moved" is, so a torn record was not yet in
// force and the phase is the one before it.
bool ParsePhase(std::string rest, JournalPhase& phase)
{
    const std::string records = std::string(kMoving) + kMoved;
    while (!rest.empty() && rest.back() == '\0')
        rest.pop_back();
    if (records.compare(0, rest.size(), rest) != 0)
        return false;
    if (rest.size() == records.size())
        phase = JournalPhase::Moved;
    else if (rest.size() >= sizeof kMoving - 1)
        phase = JournalPhase::Moving;
    else
        phase = JournalPhase::Staging;
    return true;
}

} // namespace

UniqueHandle BeginJournal(const InstallPlan& plan)
{
    UniqueHandle journal(CreateFileW(FullPath(plan, kJournalName).c_str(),
                                     GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!journal.IsValid()) {
        const DWORD error = GetLastError();
        ReportLastError("CreateFile");
        if (error == ERROR_FILE_EXISTS)
            Report(g_log, "Can't start the update: [%s] of another update is in the way.",
                   WideToUtf8(kJournalName).c_str());
        else
            Report(g_log, "Can't start the update: its journal [%s] cannot be made.",
                   WideToUtf8(kJournalName).c_str());
        return UniqueHandle();
    }
    const std::string text = PlanText(plan);
    if (text.size() > kLargestJournal) {
        Report(g_log, "Can't start the update: it names too many files for its journal.");
        DeleteJournal(journal);
        return UniqueHandle();
    }
    if (!WriteDurably(journal.Get(), text, "the plan")) {
        DeleteJournal(journal);
        return UniqueHandle();
    }
    return journal;
}

bool RecordPhase(HANDLE journal, JournalPhase phase)
{
    return phase == JournalPhase::Moving ? WriteDurably(journal, kMoving, "the moves begin")
                                         : WriteDurably(journal, kMoved, "the moves are done");
}

void DeleteJournal(UniqueHandle& journal)
{
    FILE_DISPOSITION_INFO dispose = {TRUE};
    if (!SetFileInformationByHandle(journal.Get(), FileDispositionInfo, &dispose, sizeof dispose)) {
        ReportLastError("SetFileInformationByHandle");
        Report(g_log, "Can't delete [%s].", WideToUtf8(kJournalName).c_str());
    }
    journal.Close();
}

JournalState ReadJournal(InstallPlan& plan, JournalPhase& phase, UniqueHandle& journal,
                         std::string& why)
{
    // A scanner or indexer may look at it for a moment; a running update
    // holds it for as long as it runs, and one that is ending deletes it.
    const std::wstring path = FullPath(plan, kJournalName);
    RetryWhileFileHeld([&] {
        journal = UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return journal.IsValid();
    });
    if (!journal.IsValid()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return JournalState::None;
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            return JournalState::Busy;
        why = "it cannot be opened (error " + std::to_string(error) + ")";
        return JournalState::Unreadable;
    }
    std::string bytes;
    if (!ReadWhole(journal.Get(), bytes)) {
        why = "it cannot be read";
        return JournalState::Unreadable;
    }
    // Created, but stopped before the plan was written: nothing was done.
    if (bytes.empty()) {
        phase = JournalPhase::Staging;
        return JournalState::Read;
    }
    const size_t planEnd = ParsePlan(bytes, plan, why);
    if (planEnd == std::string::npos)
        return JournalState::Unreadable;
    if (!ParsePhase(bytes.substr(planEnd), phase)) {
        why = "it ends in a record it should not";
        return JournalState::Unreadable;
    }
    return JournalState::Read;
}
