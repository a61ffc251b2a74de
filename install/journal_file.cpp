#include "install/journal_file.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <vector>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/file_identity.h"
#include "install/install_name.h"
#include "install/journal_format.h"

namespace {

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

// Clears the read-only attribute through the open handle (which holds the
// file without sharing, so no call by its name could). False when it was
// not read-only or cannot be changed.
bool ClearReadOnlyThroughHandle(HANDLE file)
{
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return false;
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

// A journal is the updater's own, read-only or not.
bool DeleteThroughHandle(HANDLE file, const wchar_t* name)
{
    FILE_DISPOSITION_INFO dispose = {TRUE};
    auto markDeleted = [&] {
        return SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose) != FALSE;
    };
    if (markDeleted() || (GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnlyThroughHandle(file) &&
                       markDeleted()))
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
    const bool listed = UniqueFind(path).Found();
    SetLastError(error);
    return listed;
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
    HeldRules rules;
    rules.alsoHeld = ERROR_ALREADY_EXISTS;
    const std::wstring journalPath = FullPath(plan, name);
    if (!renamed() && (!IsListed(journalPath) ||
                       !RetryWhileFileHeld(Patience::NewFile, journalPath, renamed, rules)))
        return false;
    failedCall = "FlushFileBuffers";
    if (!FlushFileBuffers(draft))
        return false;
    FlushFolder(plan.root);
    return true;
}

// A draft's name that a start has just deleted, and that a program still
// holds, stays taken for a while.
HeldRules FileExistsIsHeld()
{
    HeldRules rules;
    rules.alsoHeld = ERROR_FILE_EXISTS;
    return rules;
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
        RetryWhileFileHeld(Patience::NewFile, draft, create, FileExistsIsHeld());
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
    if (!AppendRecord(journal.Get(), text, "the plan")) {
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

bool AppendRecord(HANDLE journal, const std::string& text, const char* what)
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
    // The right to change its attributes clears a read-only journal before
    // its deletion; where the folder's rights withhold it, the journal is
    // read without.
    auto open = [&] {
        for (const DWORD access : {GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES,
                                   static_cast<DWORD>(GENERIC_READ | DELETE)}) {
            journal = UniqueHandle(CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
            if (journal.IsValid() || GetLastError() != ERROR_ACCESS_DENIED)
                break;
        }
        return journal.IsValid();
    };
    RetryWhileFileHeld(patience, path, open);
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
    return ParseJournal(bytes, plan, phase, why) ? JournalState::Read : JournalState::Unreadable;
}

DraftState RemoveJournalDraft(const InstallPlan& plan, Patience patience)
{
    // A draft is the updater's own, read-only or not.
    const std::wstring path = FullPath(plan, kJournalDraftName);
    auto remove = [&path] {
        return DeleteFileW(path.c_str()) ||
               (GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnly(path) && DeleteFileW(path.c_str()));
    };
    if (RetryWhileFileHeld(patience, path, remove))
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
