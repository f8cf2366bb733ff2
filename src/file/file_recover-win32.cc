// Undoing, at the next open, a rewrite in place that a stopped run left
// unfinished: the mark on the file leads to the journal, which is applied
// only when it is trusted, belongs to this file and this write, and the
// file holds exactly what that write can have left.
#include <optional>

#include "file/file_calls-win32.h"
#include "file/file_io-win32.h"
#include "file/file_journal-win32.h"
#include "file/file_security-win32.h"
#include "os/win32_text.h"

namespace varnok {

namespace {

constexpr uint64_t kMaxJournalSize = uint64_t{1} << 34;

// A journal found through a mark, open for reading (and deleting, where
// this user may).
struct FoundJournal {
  ~FoundJournal() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool may_delete = false;
  std::wstring path;
};

// The journal's path as a report shows it, without the "\\?\" prefix.
std::string Shown(const std::string& path) {
  if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + path.substr(8);
  if (path.rfind("\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

// Opens the journal at `path`, not following a link at its end; 0 or the
// error. Only a full path whose last part is a journal's name is one.
DWORD OpenJournal(const std::string& path, FoundJournal* found) {
  const size_t separator = path.rfind('\\');
  if (path.rfind("\\\\?\\", 0) != 0 || separator == std::string::npos ||
      !IsJournalName(path.substr(separator + 1))) {
    return ERROR_INVALID_NAME;
  }
  found->path = WideFromUtf8(path);
  for (const DWORD access : {GENERIC_READ | READ_CONTROL | DELETE, GENERIC_READ | READ_CONTROL}) {
    found->handle = CreateFileW(found->path.c_str(), access, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    found->may_delete = (access & DELETE) != 0;
    if (found->handle != INVALID_HANDLE_VALUE) return 0;
    if (GetLastError() != ERROR_ACCESS_DENIED) break;
  }
  return GetLastError();
}

// Whether the journal may be applied to the file open on `file`: a plain
// file with one name, owned by this user, its default owner or the file's
// owner. Anybody else could plant bytes in it.
bool Trusted(HANDLE journal, HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(journal) == FILE_TYPE_DISK && GetFileInformationByHandle(journal, &info) &&
         info.nNumberOfLinks == 1 &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         OwnedByThisUserOrOwnerOf(journal, file);
}

std::optional<JournalRecord> ReadRecord(HANDLE journal) {
  LARGE_INTEGER size = {};
  std::string bytes;
  if (!GetFileSizeEx(journal, &size) || static_cast<uint64_t>(size.QuadPart) > kMaxJournalSize ||
      !MoveTo(journal, 0) || ReadWhole(journal, static_cast<uint64_t>(size.QuadPart), &bytes) != 0) {
    return std::nullopt;
  }
  return DecodeJournal(bytes);
}

// Puts the record's old bytes back into `file` and cuts it to the old size.
DWORD PutBack(HANDLE file, const JournalRecord& record) {
  const Part saved = {record.old_bytes.data(), record.old_bytes.size()};
  if (!MoveTo(file, record.offset)) return GetLastError();
  if (DWORD error = WriteAll(file, &saved, 1)) return error;
  if (!MoveTo(file, record.old_size()) || !SetEndOfFile(file)) return GetLastError();
  return FlushFileBuffers(file) ? 0 : GetLastError();
}

void Delete(FoundJournal* found) {
  if (!found->may_delete || !MarkForDeletion(found->handle, true)) return;
  CloseHandle(found->handle);
  found->handle = INVALID_HANDLE_VALUE;
  FlushDirectory(DirectoryOf(found->path));
}

// Renames a journal that a later change made stale to "<name>.stale": kept
// for a person to look at, never applied.
void SetAside(const FoundJournal& found) {
  if (!found.may_delete) return;
  const std::wstring target = found.path + L".stale";
  std::string buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(WCHAR), '\0');
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(&buffer[0]);
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(WCHAR));
  target.copy(info->FileName, target.size());
  if (SetFileInformationByHandle(found.handle, FileRenameInfo, info,
                                 static_cast<DWORD>(buffer.size()))) {
    FlushDirectory(DirectoryOf(found.path));
  }
}

// Removes the mark, and the journal it names where that is one of a write
// that never began or has finished: trusted, and the mark's own where it
// is whole (a torn one was being written when its run stopped).
void Discard(HANDLE file, const std::wstring& path, const WriteMark& mark) {
  FoundJournal found;
  if (OpenJournal(mark.journal, &found) == 0 && Trusted(found.handle, file)) {
    const std::optional<JournalRecord> record = ReadRecord(found.handle);
    if (!record || record->token == mark.token) Delete(&found);
  }
  FileCalls().remove_mark(file, path);
}

// Applies the journal of the unfinished write `mark`; see RecoverRewrite.
DWORD Apply(HANDLE file, const std::wstring& path, const WriteMark& mark, std::string* content,
            std::string* problem) {
  FoundJournal found;
  const std::string where =
      "its rewrite in place was stopped, and its journal " + Shown(mark.journal);
  if (DWORD error = OpenJournal(mark.journal, &found)) {
    *problem = where + " cannot be opened (Windows error " + std::to_string(error) + ")";
    return error;
  }
  if (!Trusted(found.handle, file)) {
    *problem = where + " is not to be trusted (another owner, a second name or a link)";
    return ERROR_ACCESS_DENIED;
  }
  const std::optional<JournalRecord> record = ReadRecord(found.handle);
  if (!record || record->token != mark.token) {
    *problem = where + " is damaged or another write's";
    return ERROR_INVALID_DATA;
  }
  // A mark that came with a copy of the file: the journal is another file's.
  if (record->identity != RecordIdentity(file)) return FileCalls().remove_mark(file, path), 0;
  if (record->offset > content->size() ||
      !LeftByWrite(*record, std::string_view(*content).substr(record->offset))) {
    SetAside(found);  // changed since by somebody else
    return FileCalls().remove_mark(file, path), 0;
  }
  if (DWORD error = PutBack(file, *record)) {
    *problem = where + ", whose old bytes could not be put back";
    return error;
  }
  content->replace(record->offset, std::string::npos, record->old_bytes);
  if (DWORD error = MarkDone(file, path, mark)) {
    *problem = where + "; its old bytes are back, but the mark could not be removed";
    return error;
  }
  Delete(&found);
  FileCalls().remove_mark(file, path);
  return 0;
}

}  // namespace

DWORD RecoverRewrite(HANDLE file, const std::wstring& path, std::string* content,
                     std::string* problem) {
  if (!FileCalls().keeps_marks(file)) return 0;
  std::string bytes;
  if (DWORD error = FileCalls().read_mark(file, path, &bytes)) {
    if (error == ERROR_FILE_NOT_FOUND) return 0;
    *problem = "its mark (" + Utf8FromWide(kMarkStream) + ") cannot be read";
    return error;
  }
  const std::optional<WriteMark> mark = DecodeMark(bytes);
  if (!mark) {
    *problem = "it carries a mark (" + Utf8FromWide(kMarkStream) + ") that this version cannot read";
    return ERROR_INVALID_DATA;
  }
  if (mark->state != WriteMark::kWriting) return Discard(file, path, *mark), 0;
  return Apply(file, path, *mark, content, problem);
}

}  // namespace varnok
