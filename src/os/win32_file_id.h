// Which file an open handle holds on Windows: the volume serial number and
// the file ID. The 128-bit ID (FileIdInfo, Windows 8 and later) is unique on
// ReFS, where the 64-bit file index is not; on NTFS it is the index widened,
// so both forms give one identity for one file.
#ifndef VARNOK_OS_WIN32_FILE_ID_H_
#define VARNOK_OS_WIN32_FILE_ID_H_

#include <windows.h>

#include <string>

namespace varnok {

struct FileIdentity {
  unsigned long long volume = 0;
  unsigned char id[16] = {};
};

bool operator==(const FileIdentity& a, const FileIdentity& b);
inline bool operator!=(const FileIdentity& a, const FileIdentity& b) { return !(a == b); }

/// The identity of the file open on `file`: the 128-bit file ID where the
/// system gives a non-zero one, else the 64-bit file index (in the ID's low
/// half). False when the system answers neither query; the ID may be all
/// zero where the file system keeps no IDs (see HasFileId).
bool IdentityOf(HANDLE file, FileIdentity* identity);

/// Whether the identity holds a file ID at all, not zero.
bool HasFileId(const FileIdentity& identity);

/// The identity of the file `path` (a "\\?\" path) names now, links
/// followed; false when it names nothing the system can identify.
bool IdentityAt(const std::wstring& path, FileIdentity* identity);

}  // namespace varnok

#endif  // VARNOK_OS_WIN32_FILE_ID_H_
