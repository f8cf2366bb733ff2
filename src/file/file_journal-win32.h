// The journal of a rewrite in place on Windows, and the mark that leads to
// it (journal.h has the steps).
//
// The mark is the named stream ":varnok.write" of the script, which every
// name of the file carries and only a writer of it can create; it names the
// journal by its full path. The journal, ".varnok-<token>.journal", lies
// beside the script, or where the script's directory refuses it, in this
// user's own directory "varnok" below the user's temporary directory (a
// fresh "varnok-<random>" where somebody else holds that name). It is
// created owned by this user and readable by this user alone, and held open
// without sharing deletion while the bytes are written, so nobody can move
// it meanwhile. A file system without named streams (FAT, exFAT) or without
// file IDs gets no rewrite in place at all.
#ifndef VARNOK_FILE_FILE_JOURNAL_WIN32_H_
#define VARNOK_FILE_FILE_JOURNAL_WIN32_H_

#include <windows.h>

#include <string>

#include "file/journal.h"

namespace varnok {

/// What tells the file open on `file` apart from every other file, ever:
/// its volume's serial number, its 128-bit file ID and its creation time.
/// Empty where the file system gives it no file ID.
std::string RecordIdentity(HANDLE file);

/// The full path of this user's own directory for journals: "varnok" below
/// the user's temporary directory. Empty when there is none.
std::wstring PrivateJournalDirectory();

/// Writes `mark` on the file open on `file` (at `path`), flushed; 0 or the error.
DWORD SetMark(HANDLE file, const std::wstring& path, const WriteMark& mark);

/// Makes the mark say, flushed, that its write is done (or where that
/// cannot be stored, removes it). 0 or the error.
DWORD MarkDone(HANDLE file, const std::wstring& path, WriteMark mark);

class JournalFile {
 public:
  JournalFile() = default;
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  /// Marks the file open on `file` (at `path`) and writes `record`, its
  /// token chosen here, into `dir` or, where `dir` refuses it, this user's
  /// own directory; flushed with its directory, then the mark says the
  /// write has begun. A name somebody holds makes it choose another token.
  /// 0 or the error, with no journal and no mark left; `problem` says why
  /// where the file system keeps no mark.
  DWORD Save(HANDLE file, const std::wstring& path, const std::wstring& dir, JournalRecord record,
             std::string* problem);
  /// Whether the journal still lies where the mark says, with that one name.
  bool Intact() const;
  /// Marks the write done, removes the journal, then the mark. 0 or the
  /// error, with the mark still saying the write is unfinished.
  DWORD Finish();
  /// Removes the journal and the mark, for a write undone or never begun.
  void Abandon();

 private:
  DWORD Create(const JournalRecord& record);
  DWORD UsePrivateDirectory();

  HANDLE file_ = INVALID_HANDLE_VALUE;     // the script, not owned
  HANDLE journal_ = INVALID_HANDLE_VALUE;  // owned
  std::wstring path_;                      // the script's full path
  std::wstring dir_;                       // the journal's directory
  bool spare_dir_ = false;                 // made for this run, removed with the journal
  WriteMark mark_;
};

/// Puts back what a stopped rewrite in place left in the file open on
/// `file` (at `path`; locked, writable), whose bytes are `content`;
/// `content` then holds what the file holds. 0, or the error with
/// `problem` saying what stops the run: a journal that is gone, unreadable
/// or untrusted, a mark this version cannot read, or a failed restore.
DWORD RecoverRewrite(HANDLE file, const std::wstring& path, std::string* content,
                     std::string* problem);

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_JOURNAL_WIN32_H_
