#include "install/journal.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/install_name.h"
#include "install/retry_while_held.h"

namespace {

const char kHeader[] = "vestrel journal 2";
const char kMade[] = "made";
const char kKept[] = "kept";
const char kMoving[] = "moving\n";
const char kMoved[] = "moved\n";
// A plan of some 400,000 files stays below this, and the 32-bit build can
// still hold it; the update refuses a larger one, so a larger journal is
// not ours.
const size_t kLargestJournal = 64u << 20;

std::string Hex(std::uint64_t value, int digits)
{
    char text[24] = {};
    snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string Checksum(const std::string& bytes)
{
    return Hex(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()),
                     static_cast<uInt>(bytes.size())),
               8);
}

// What the kept file must be, in the journal's words.
std::string KeptIdentity(const PlannedFile& file)
{
    if (file.kept.empty())
        return std::string();
    if (file.keptFrom != kOriginalFile)
        return "=" + std::to_string(file.keptFrom);
    return std::to_string(file.keptStamp.size) + ":" + Hex(file.keptStamp.lastWrite, 16);
}

std::string PlanText(const InstallPlan& plan)
{
    std::string text = std::string(kHeader) + "\ntoken\t" + WideToUtf8(plan.token) + "\n";
    for (const PlannedDirectory& directory : plan.directories)
        text += "dir\t" + WideToUtf8(directory.folder) + "\n";
    for (const PlannedFile& file : plan.files)
        text += "file\t" + WideToUtf8(file.target) + "\t" + WideToUtf8(file.temp) + "\t" +
                WideToUtf8(file.kept) + "\t" + std::to_string(file.size) + "\t" +
                Hex(file.crc, 8) + "\t" + KeptIdentity(file) + "\n";
    return text + "end\t" + Checksum(text) + "\n";
}

// A record that follows the plan, one value per folder or file of it and
// its own checksum, as ReadRecord reads it back.
std::string RecordText(const char* name, const std::vector<std::string>& values)
{
    std::string text = name;
    for (const std::string& value : values)
        text += "\t" + value;
    return text + "\t" + Checksum(text) + "\n";
}

std::string MadeText(const InstallPlan& plan)
{
    std::vector<std::string> ids;
    for (const PlannedDirectory& directory : plan.directories)
        ids.push_back(directory.id.empty() ? std::string("-") : directory.id);
    return RecordText(kMade, ids);
}

// What the copies this update made of the files it keeps hold; nothing
// where every kept file is a second name of the one it keeps.
std::string KeptText(const InstallPlan& plan)
{
    std::vector<std::string> copies;
    bool anyCopy = false;
    for (const PlannedFile& file : plan.files) {
        copies.push_back(file.keptAsCopy ? Hex(file.keptCrc, 8) : std::string("-"));
        anyCopy = anyCopy || file.keptAsCopy;
    }
    return anyCopy ? RecordText(kKept, copies) : std::string();
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

// A whole decimal number of at most 20 digits, as std::to_string writes it.
bool ParseNumber(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0'))
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (UINT64_MAX - (c - '0')) / 10)
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

bool ParseHex(const std::string& text, size_t digits, std::uint64_t& value)
{
    if (text.size() != digits)
        return false;
    value = 0;
    for (char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    return true;
}

// "<size>:<last-write time>", or "=<n>" naming an earlier record of the
// same target; empty for a new file.
bool ParseKeptIdentity(const std::string& text, const InstallPlan& plan, PlannedFile& file)
{
    if (file.kept.empty())
        return text.empty();
    if (!text.empty() && text[0] == '=') {
        std::uint64_t earlier = 0;
        if (!ParseNumber(text.substr(1), earlier) || earlier >= plan.files.size())
            return false;
        file.keptFrom = static_cast<size_t>(earlier);
        return CompareStringOrdinal(plan.files[file.keptFrom].target.c_str(), -1,
                                    file.target.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    const size_t colon = text.find(':');
    return colon != std::string::npos && ParseNumber(text.substr(0, colon), file.keptStamp.size) &&
           ParseHex(text.substr(colon + 1), 16, file.keptStamp.lastWrite);
}

bool ParseFile(const std::vector<std::string>& fields, InstallPlan& plan, std::string& why)
{
    PlannedFile file;
    if (fields.size() != 7 || !IsInstallName(fields[1], file.target)) {
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
    std::uint64_t crc = 0;
    if (!ParseNumber(fields[4], file.size) || !ParseHex(fields[5], 8, crc) ||
        !ParseKeptIdentity(fields[6], plan, file)) {
        why = "a file record does not say what its files hold";
        return false;
    }
    file.crc = static_cast<std::uint32_t>(crc);
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
            std::wstring folder;
            if (fields.size() != 2 || !plan.files.empty() || !IsInstallName(fields[1], folder)) {
                why = "a folder record names no folder of the install";
                return std::string::npos;
            }
            plan.directories.push_back(PlannedDirectory{folder, fields[1], std::string()});
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

std::string WithoutTrailingZeros(std::string text)
{
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

bool IsFolderId(const std::string& id)
{
    std::uint64_t ignored = 0;
    return id == "-" || (id.size() == 25 && id[8] == '-' && ParseHex(id.substr(0, 8), 8, ignored) &&
                         ParseHex(id.substr(9), 16, ignored));
}

enum class RecordRead {
    Absent,     // another record, or none, is there
    NotInForce, // torn by a power cut; nothing follows it
    Whole,
    Damaged,
};

// The record named name at start, as RecordText writes it, with one value
// for each of count folders or files; start moves past it. A power cut can
// leave the last record torn (cut short, or padded with zero bytes where
// the file grew but its data never arrived): what a record says is acted on
// only once it is on disk, so a torn one was not yet in force.
RecordRead ReadRecord(const std::string& bytes, size_t& start, const char* name, size_t count,
                      std::vector<std::string>& values)
{
    const std::string record = std::string(name) + "\t";
    const std::string rest = WithoutTrailingZeros(bytes.substr(start));
    if (rest.compare(0, record.size(), record) != 0) {
        if (rest.empty() || record.compare(0, rest.size(), rest) != 0)
            return RecordRead::Absent;
        start = bytes.size();
        return RecordRead::NotInForce;
    }
    const size_t end = rest.find('\n');
    const std::string line = rest.substr(0, end);
    values = Fields(line);
    if (end != std::string::npos && values.size() == count + 2 &&
        values.back() == Checksum(line.substr(0, line.rfind('\t')))) {
        values.erase(values.begin());
        values.pop_back();
        start += end + 1;
        return RecordRead::Whole;
    }
    if (end == std::string::npos || end + 1 == rest.size()) {
        start = bytes.size();
        return RecordRead::NotInForce;
    }
    return RecordRead::Damaged;
}

// The "made" records, where the plan has folders, one for each level of
// them that was made; the last one says all. Without one no folder is known
// to be the update's by its id.
bool ParseMade(const std::string& bytes, size_t& start, InstallPlan& plan, std::string& why)
{
    if (plan.directories.empty())
        return true;
    for (;;) {
        std::vector<std::string> ids;
        switch (ReadRecord(bytes, start, kMade, plan.directories.size(), ids)) {
        case RecordRead::Absent:
        case RecordRead::NotInForce:
            return true;
        case RecordRead::Whole:
            if (!std::all_of(ids.begin(), ids.end(), IsFolderId))
                break;
            for (size_t i = 0; i < ids.size(); ++i)
                plan.directories[i].id = ids[i] == "-" ? std::string() : ids[i];
            continue;
        case RecordRead::Damaged:
            break;
        }
        why = "its record of the folders it made is damaged";
        return false;
    }
}

// The "kept" record, where the update kept copies: only a file it found and
// keeps can have one.
bool ParseKept(const std::string& bytes, size_t& start, InstallPlan& plan, std::string& why)
{
    std::vector<std::string> copies;
    switch (ReadRecord(bytes, start, kKept, plan.files.size(), copies)) {
    case RecordRead::Absent:
    case RecordRead::NotInForce:
        return true;
    case RecordRead::Whole:
        break;
    case RecordRead::Damaged:
        why = "its record of the copies it kept is damaged";
        return false;
    }
    for (size_t i = 0; i < copies.size(); ++i) {
        PlannedFile& file = plan.files[i];
        std::uint64_t crc = 0;
        if (copies[i] == "-")
            continue;
        if (file.kept.empty() || file.keptFrom != kOriginalFile || !ParseHex(copies[i], 8, crc)) {
            why = "its record of the copies it kept is damaged";
            return false;
        }
        file.keptAsCopy = true;
        file.keptCrc = static_cast<std::uint32_t>(crc);
    }
    return true;
}

// The phase records after the plan. A torn one (see ReadRecord) was not yet
// in force: the moves begin only after "moving" is on disk and the kept
// files go only after "moved" is, so the phase is the one before it.
bool ParsePhase(const std::string& bytes, JournalPhase& phase)
{
    const std::string records = std::string(kMoving) + kMoved;
    const std::string rest = WithoutTrailingZeros(bytes);
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

bool DeleteThroughHandle(HANDLE file, const wchar_t* name)
{
    FILE_DISPOSITION_INFO dispose = {TRUE};
    if (SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose))
        return true;
    ReportLastError("SetFileInformationByHandle");
    Report(g_log, "Can't delete [%s].", WideToUtf8(name).c_str());
    return false;
}

// Whether a file of that name is listed in its folder, as one whose
// deletion waits for a program that holds it still is. The thread's last
// error is kept.
bool IsListed(const std::wstring& path)
{
    const DWORD error = GetLastError();
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path.c_str(), &found);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    SetLastError(error);
    return find != INVALID_HANDLE_VALUE;
}

// Windows commits a rename to disk with a flush of the renamed file, as
// MoveFileEx does for MOVEFILE_WRITE_THROUGH. Where names are kept apart
// from the files (the POSIX file systems under Wine) the folder needs its
// own flush, which Windows' own file systems may refuse for a folder: that
// flush is only an addition, and its failure changes nothing.
void FlushFolder(const std::wstring& folder)
{
    UniqueHandle handle(CreateFileW(folder.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.IsValid())
        FlushFileBuffers(handle.Get());
}

// Gives the draft the journal's name through its own handle, which keeps
// it held throughout, and puts the new name on disk. False with the
// thread's last error.
bool RenameDraftToJournal(const InstallPlan& plan, HANDLE draft, const char*& failedCall)
{
    const std::wstring name = kJournalName;
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr; // a bare name renames within the folder
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), rename->FileName);
    // The journal's name, too, stays taken a while after a start deleted it.
    failedCall = "SetFileInformationByHandle";
    auto renamed = [&] {
        return SetFileInformationByHandle(draft, FileRenameInfo, rename,
                                          static_cast<DWORD>(buffer.size())) != FALSE;
    };
    if (!renamed() && (!IsListed(FullPath(plan, name)) ||
                       !RetryWhileFileHeld(Patience::NewFile, renamed, ERROR_ALREADY_EXISTS)))
        return false;
    failedCall = "FlushFileBuffers";
    if (!FlushFileBuffers(draft))
        return false;
    FlushFolder(plan.root);
    return true;
}

bool IsInTheWay(DWORD error)
{
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
           error == ERROR_SHARING_VIOLATION;
}

} // namespace

JournalStart BeginJournal(const InstallPlan& plan, UniqueHandle& journal)
{
    const std::string journalName = WideToUtf8(kJournalName);
    const std::string text = PlanText(plan);
    if (text.size() > kLargestJournal) {
        Report(g_log, "Can't start the update: it names too many files for its journal.");
        return JournalStart::NotWritten;
    }
    // Just after a start deleted a draft, a program that still holds it (a
    // virus scanner that shares deletion) keeps its name taken for a while;
    // a folder that cannot be written to is not waited for.
    const std::wstring draft = FullPath(plan, kJournalDraftName);
    auto create = [&] {
        journal = UniqueHandle(CreateFileW(draft.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        return journal.IsValid();
    };
    if (!create() && IsListed(draft))
        RetryWhileFileHeld(Patience::NewFile, create, ERROR_FILE_EXISTS);
    if (!journal.IsValid()) {
        const DWORD error = GetLastError();
        ReportLastError("CreateFile");
        if (IsInTheWay(error)) {
            Report(g_log, "Can't start the update: another update is writing its plan [%s] here.",
                   WideToUtf8(kJournalDraftName).c_str());
            return JournalStart::InTheWay;
        }
        Report(g_log, "Can't start the update: its journal [%s] cannot be made.",
               journalName.c_str());
        return JournalStart::NotWritten;
    }
    if (!WriteDurably(journal.Get(), text, "the plan")) {
        DeleteThroughHandle(journal.Get(), kJournalDraftName);
        journal.Close();
        return JournalStart::NotWritten;
    }
    const char* failedCall = nullptr;
    if (!RenameDraftToJournal(plan, journal.Get(), failedCall)) {
        const DWORD error = GetLastError();
        ReportLastError(failedCall);
        // A flush that fails follows a rename that worked: delete it under
        // whichever name it has.
        DeleteThroughHandle(journal.Get(), kJournalDraftName);
        journal.Close();
        if (IsInTheWay(error)) {
            Report(g_log, "Can't start the update: [%s] of another update is in the way.",
                   journalName.c_str());
            return JournalStart::InTheWay;
        }
        Report(g_log, "Can't write the journal: %s", "its name");
        return JournalStart::NotWritten;
    }
    return JournalStart::Begun;
}

bool RecordMadeFolders(HANDLE journal, const InstallPlan& plan)
{
    return WriteDurably(journal, MadeText(plan), "the folders made");
}

bool RecordPhase(HANDLE journal, const InstallPlan& plan, JournalPhase phase)
{
    // One write: a "moving" on disk always comes with the copies' record.
    return phase == JournalPhase::Moving
               ? WriteDurably(journal, KeptText(plan) + kMoving, "the moves begin")
               : WriteDurably(journal, kMoved, "the moves are done");
}

void KeepJournalForNextStart(UniqueHandle& journal)
{
    Report(g_log, "The update is not settled yet; its journal [%s] is kept for the next start.",
           WideToUtf8(kJournalName).c_str());
    journal.Close();
}

bool DeleteJournal(UniqueHandle& journal)
{
    const bool deleted = DeleteThroughHandle(journal.Get(), kJournalName);
    journal.Close();
    return deleted;
}

JournalState ReadJournal(InstallPlan& plan, JournalPhase& phase, UniqueHandle& journal,
                         Patience patience, std::string& why)
{
    // A scanner or indexer may look at it for a moment; a running update
    // holds it for as long as it runs, and one that is ending deletes it.
    const std::wstring path = FullPath(plan, kJournalName);
    auto open = [&] {
        journal = UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return journal.IsValid();
    };
    RetryWhileFileHeld(patience, open);
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
    const size_t planEnd = ParsePlan(bytes, plan, why);
    if (planEnd == std::string::npos)
        return JournalState::Unreadable;
    size_t next = planEnd;
    if (!ParseMade(bytes, next, plan, why) || !ParseKept(bytes, next, plan, why))
        return JournalState::Unreadable;
    if (!ParsePhase(bytes.substr(next), phase)) {
        why = "it ends in a record it should not";
        return JournalState::Unreadable;
    }
    return JournalState::Read;
}

DraftState RemoveJournalDraft(const InstallPlan& plan, Patience patience)
{
    // A draft is the updater's own, read-only or not.
    const std::wstring path = FullPath(plan, kJournalDraftName);
    auto remove = [&path] {
        return DeleteFileW(path.c_str()) ||
               (GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnly(path) && DeleteFileW(path.c_str()));
    };
    if (RetryWhileFileHeld(patience, remove))
        return DraftState::Removed;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return DraftState::None;
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        return DraftState::Busy;
    ReportLastError("DeleteFile");
    Report(g_log, "Can't delete [%s].", WideToUtf8(kJournalDraftName).c_str());
    return DraftState::Failed;
}
