#include "file/file_journal-win32.h"

#include "file/file_calls-win32.h"
#include "file/file_io-win32.h"
#include "file/file_security-win32.h"
#include "os/random.h"
#include "os/win32_file_id.h"
#include "os/win32_text.h"

namespace varnok {

namespace {

constexpr size_t kTokenSize = 16;
constexpr int kMaxNameAttempts = 8;

void PutNumber(std::string* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

// Whether `dir` is a directory (no link) that this user owns.
bool OwnDirectory(const std::wstring& dir) {
  HANDLE handle = CreateFileW(dir.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool own = GetFileInformationByHandle(handle, &info) &&
                   (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                   (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                   OwnedByThisUser(handle);
  CloseHandle(handle);
  return own;
}

// Whether an attempt that failed with `error` may try another name.
bool NameTaken(DWORD error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
         error == ERROR_ACCESS_DENIED;
}

}  // namespace

std::string RecordIdentity(HANDLE file) {
  FileIdentity identity;
  FILETIME created;
  if (!IdentityOf(file, &identity) || !HasFileId(identity) ||
      !FileCalls().creation_time(file, &created)) {
    return "";
  }
  std::string record;
  PutNumber(&record, identity.volume);
  record.append(reinterpret_cast<const char*>(identity.id), sizeof identity.id);
  PutNumber(&record, (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime);
  return record;
}

std::wstring PrivateJournalDirectory() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return {};
  // GetTempPathW ends with a separator, which a "\\?\" path keeps as written.
  std::wstring dir(temp, length);
  while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
  return dir.empty() ? dir : ExtendedPath(Utf8FromWide(dir)) + L"\\varnok";
}

DWORD SetMark(HANDLE file, const std::wstring& path, const WriteMark& mark) {
  return FileCalls().write_mark(file, path, EncodeMark(mark));
}

DWORD MarkDone(HANDLE file, const std::wstring& path, WriteMark mark) {
  mark.state = WriteMark::kDone;
  const DWORD error = SetMark(file, path, mark);
  // Where the mark cannot say so, it goes instead: a journal without a
  // mark is never applied.
  return error != 0 && FileCalls().remove_mark(file, path) == 0 ? 0 : error;
}

JournalFile::~JournalFile() {
  if (journal_ != INVALID_HANDLE_VALUE) CloseHandle(journal_);
}

DWORD JournalFile::Save(HANDLE file, const std::wstring& path, const std::wstring& dir,
                        JournalRecord record, std::string* problem) {
  file_ = file;
  path_ = path;
  dir_ = dir;
  if (!FileCalls().keeps_marks(file)) {
    *problem = "its file system keeps no named streams, which a rewrite in place needs";
    return ERROR_NOT_SUPPORTED;
  }
  bool private_dir = false;
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < kMaxNameAttempts && NameTaken(error); ++attempt) {
    record.token = RandomBytes(kTokenSize);
    mark_ = WriteMark{WriteMark::kPrepared, record.token,
                      Utf8FromWide(dir_) + "\\" + JournalName(record.token)};
    error = SetMark(file_, path_, mark_);
    if (error != 0) break;
    error = Create(record);
    // A directory that refuses the journal leaves this user's own.
    if (error == ERROR_ACCESS_DENIED && !private_dir) {
      private_dir = true;
      error = UsePrivateDirectory();
      if (error == 0) error = ERROR_FILE_EXISTS;
    }
  }
  if (error == 0) {
    mark_.state = WriteMark::kWriting;
    error = SetMark(file_, path_, mark_);
  }
  if (error != 0) Abandon();
  return error;
}

// Writes the record under the mark's name, flushed with its directory; 0
// or the error, with nothing left under the name.
DWORD JournalFile::Create(const JournalRecord& record) {
  PrivateSecurity security;
  if (security.attributes() == nullptr) return ERROR_INVALID_OWNER;
  journal_ = CreateFileW(WideFromUtf8(mark_.journal).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ, security.attributes(), CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                         nullptr);
  if (journal_ == INVALID_HANDLE_VALUE) return GetLastError();
  const std::string bytes = EncodeJournal(record);
  const Part whole = {bytes.data(), bytes.size()};
  DWORD error = WriteAll(journal_, &whole, 1);
  if (error == 0 && !FlushFileBuffers(journal_)) error = GetLastError();
  if (error != 0) {
    MarkForDeletion(journal_, true);
    CloseHandle(journal_);
    journal_ = INVALID_HANDLE_VALUE;
    return error;
  }
  FlushDirectory(dir_);
  return 0;
}

// Makes this user's own directory the journal's; 0 or the error.
DWORD JournalFile::UsePrivateDirectory() {
  const std::wstring own = PrivateJournalDirectory();
  PrivateSecurity security;
  if (own.empty() || security.attributes() == nullptr) return ERROR_PATH_NOT_FOUND;
  CreateDirectoryW(own.c_str(), security.attributes());
  if (OwnDirectory(own)) {
    dir_ = own;
    return 0;
  }
  // Somebody else holds the name: a directory of this run's own instead.
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::wstring spare = own + L"-" + WideFromUtf8(HexDigits(RandomBytes(8)));
    if (CreateDirectoryW(spare.c_str(), security.attributes())) {
      dir_ = spare;
      spare_dir_ = true;
      return 0;
    }
  }
  return GetLastError();
}

bool JournalFile::Intact() const {
  BY_HANDLE_FILE_INFORMATION info;
  FileIdentity held, named;
  return GetFileInformationByHandle(journal_, &info) && info.nNumberOfLinks == 1 &&
         IdentityOf(journal_, &held) && IdentityAt(WideFromUtf8(mark_.journal), &named) &&
         held == named;
}

DWORD JournalFile::Finish() {
  if (DWORD error = MarkDone(file_, path_, mark_)) return error;
  Abandon();
  return 0;
}

// Removes the journal (this run's own file, through its handle, wherever
// it lies now), flushed, then the mark. A journal that cannot be removed
// keeps its mark, which leads the next run to it.
void JournalFile::Abandon() {
  if (journal_ != INVALID_HANDLE_VALUE) {
    const bool removed = MarkForDeletion(journal_, true);
    CloseHandle(journal_);
    journal_ = INVALID_HANDLE_VALUE;
    if (!removed) return;
    FlushDirectory(dir_);
  }
  FileCalls().remove_mark(file_, path_);
  if (spare_dir_) RemoveDirectoryW(dir_.c_str());
  spare_dir_ = false;
}

}  // namespace varnok
