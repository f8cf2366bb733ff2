// Rewriting the script in place on Windows, for a file that must keep its
// identity. The file is marked and the bytes that will change are saved in a
// journal first (file_journal-win32.h), so that a rewrite stopped at any
// point is undone by the next run that opens the file through any of its
// names; the data is locked meanwhile, so that readers that lock what they
// read see the old content or the new one.
#include "file/file_journal-win32.h"
#include "file/file_replace_state-win32.h"

namespace varnok {

DWORD LockedFile::State::ReplaceInPlace(Part* parts, int count) {
  uint64_t new_size = 0;
  size_t keep = 0;
  for (int i = 0; i < count; ++i) new_size += parts[i].size;
  // The leading bytes that stay need no rewrite, nor saving.
  while (keep < parts[0].size && keep < old->size() && parts[0].data[keep] == (*old)[keep]) ++keep;
  parts[0].data += keep;
  parts[0].size -= keep;
  std::string new_bytes;
  for (int i = 0; i < count; ++i) new_bytes.append(parts[i].data, parts[i].size);
  const JournalRecord record = {RecordIdentity(file), "", keep, old->substr(keep), new_bytes};
  if (record.identity.empty()) {
    problem = "its file system gives it no file ID, which a rewrite in place needs";
    return ERROR_NOT_SUPPORTED;
  }
  JournalFile journal;
  if (DWORD error = journal.Save(file, MarkPath(), DirectoryOf(MarkPath()), record, &problem)) {
    return error;
  }
  const uint64_t span = new_size > old->size() ? new_size : old->size();
  DWORD error = LockRange(file, 0, span, Deadline(kSharingWaitMs));
  if (LocksUnsupported(error)) error = 0;
  if (error == 0) {
    error = WriteJournaled(&journal, new_size, keep, parts, count);
    UnlockRange(file, 0, span);
  } else {
    if (error == ERROR_LOCK_VIOLATION) problem = "another program keeps its bytes locked";
    journal.Abandon();
  }
  return error;
}

// Writes the new bytes, the journal saved, and finishes the journal; where
// that fails, puts the old bytes back. 0 or an error code.
DWORD LockedFile::State::WriteJournaled(JournalFile* journal, uint64_t new_size, size_t keep,
                                        const Part* parts, int count) {
  DWORD error = WriteInPlace(new_size, keep, parts, count);
  if (error == 0 && !journal->Intact()) {
    problem = "somebody else moved or linked its journal while it was written";
    error = ERROR_ACCESS_DENIED;
  }
  if (error == 0) error = journal->Finish();
  // Put the old bytes back now; where that fails too, the journal stays
  // and the next run that opens the file puts them back.
  if (error != 0 && RestoreInPlace(keep)) journal->Finish();
  return error;
}

// The new bytes from offset `keep` on, and the new size; 0 or an error code.
DWORD LockedFile::State::WriteInPlace(uint64_t new_size, size_t keep, const Part* parts,
                                      int count) {
  const uint64_t old_size = old->size();
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
bool LockedFile::State::RestoreInPlace(size_t keep) {
  const Part back = {old->data() + keep, old->size() - keep};
  return MoveTo(file, keep) && WriteAll(file, &back, 1) == 0 && MoveTo(file, old->size()) &&
         SetEndOfFile(file) && FlushFileBuffers(file);
}

}  // namespace varnok
