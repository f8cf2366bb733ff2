// Rewriting the script in place on Windows, where a new file cannot take its
// place. The bytes that will change are saved in a journal first, so that a
// rewrite stopped at any point is undone by the next run that opens the file;
// the data is locked meanwhile, so that readers that lock what they read see
// the old content or the new one.
#include "file/file_journal-win32.h"
#include "file/file_replace_state-win32.h"

namespace varnok {

std::wstring LockedFile::State::JournalDirectory() const {
  return DirectoryOf(stored_path.empty() ? opened_path : stored_path);
}

DWORD LockedFile::State::ApplyJournals() {
  for (const std::wstring& journal : JournalPaths(JournalDirectory(), identity)) {
    if (DWORD error = ApplyJournal(journal, file, identity)) return error;
  }
  return 0;
}

DWORD LockedFile::State::ReplaceInPlace(const std::string& old, Part* parts, int count) {
  uint64_t new_size = 0;
  size_t keep = 0;
  for (int i = 0; i < count; ++i) new_size += parts[i].size;
  // The leading bytes that stay need no rewrite.
  while (keep < parts[0].size && keep < old.size() && parts[0].data[keep] == old[keep]) ++keep;
  parts[0].data += keep;
  parts[0].size -= keep;
  const uint64_t span = new_size > old.size() ? new_size : old.size();
  DWORD error = LockRange(file, 0, span, Deadline(kSharingWaitMs));
  if (LocksUnsupported(error)) error = 0;
  if (error != 0) return error;
  std::string new_bytes;
  for (int i = 0; i < count; ++i) new_bytes.append(parts[i].data, parts[i].size);
  const JournalRecord record = {IdentityHex(identity), "", keep, old.substr(keep), new_bytes};
  const std::wstring journal = WriteJournal(JournalPaths(JournalDirectory(), identity), record,
                                            &error);
  if (!journal.empty()) {
    error = WriteInPlace(old.size(), new_size, keep, parts, count);
    // A journal that stayed would undo the change at the next run: the
    // change is undone now instead, and reported.
    if (error == 0) error = RemoveJournal(journal);
    // Where the old bytes cannot be put back, the journal stays for the
    // next run to put them back.
    if (error != 0 && RestoreInPlace(old, keep)) RemoveJournal(journal);
  }
  UnlockRange(file, 0, span);
  return error;
}

// The new bytes from offset `keep` on, and the new size; 0 or an error code.
DWORD LockedFile::State::WriteInPlace(uint64_t old_size, uint64_t new_size, size_t keep,
                                      const Part* parts, int count) {
  // Reserve the room first, so a full disk mostly fails before a byte changes.
  if (new_size > old_size && (!MoveTo(file, new_size) || !SetEndOfFile(file))) {
    return GetLastError();
  }
  if (!MoveTo(file, keep)) return GetLastError();
  if (DWORD error = WriteAll(file, parts, count)) return error;
  if (new_size < old_size && (!MoveTo(file, new_size) || !SetEndOfFile(file))) {
    return GetLastError();
  }
  return FlushFileBuffers(file) ? 0 : GetLastError();
}

// After a failed rewrite in place: the old bytes from `keep` on and the old
// size back. The bytes before `keep` were never touched. False when the
// system refused.
bool LockedFile::State::RestoreInPlace(const std::string& old, size_t keep) {
  const Part back = {old.data() + keep, old.size() - keep};
  return MoveTo(file, keep) && WriteAll(file, &back, 1) == 0 && MoveTo(file, old.size()) &&
         SetEndOfFile(file) && FlushFileBuffers(file);
}

}  // namespace varnok
