// What a replacement file must carry over from the file it replaces: its
// security descriptor (owner, group, access list, audit list where
// permitted), its attributes and its alternate data streams. Where any of it
// cannot be reproduced, the caller rewrites the file in place instead, so
// that the file keeps all of it.
#ifndef VARNOK_FILE_FILE_METADATA_WIN32_H_
#define VARNOK_FILE_FILE_METADATA_WIN32_H_

#include <windows.h>

#include <string>

namespace varnok {

/// The attributes a new file is created with to match `attributes`.
DWORD AttributesToKeep(DWORD attributes);

/// Whether a new file created with AttributesToKeep(`attributes`) is
/// stored like the old one: false for compressed, encrypted, sparse and
/// other unusually stored files.
bool AttributesReproducible(DWORD attributes);

/// Whether a new file that the file system stored with `made` (its
/// attributes once created) is stored like the old one with `old`: the same
/// encryption, compression and sparseness. A directory may give new files
/// any of them.
bool StoredAlike(DWORD made, DWORD old);

/// Gives the file at `to` (open on `to_handle` with READ_CONTROL and
/// WRITE_DAC) the owner, group and access list of the file open on `from`
/// (at `from_path`), and its audit list where this process may read it
/// (SeSecurityPrivilege). 0 or the error that refused it.
DWORD CopySecurity(HANDLE from, const std::wstring& from_path, HANDLE to_handle,
                   const std::wstring& to);

/// Copies every named data stream of the file `from` to the file `to`
/// (both full "\\?\" paths), but for the mark of a rewrite in place. 0 or
/// the error that refused it; a file system without streams has none to copy.
DWORD CopyStreams(const std::wstring& from, const std::wstring& to);

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_METADATA_WIN32_H_
