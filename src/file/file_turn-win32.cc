#include "file/file_turn-win32.h"

namespace varnok {

DWORD TakeTurn(HANDLE file, bool writer, const Deadline& deadline, bool* held) {
  const DWORD error = LockRange(file, kGuardOffset, 1, deadline, writer);
  *held = error == 0;
  return LocksUnsupported(error) ? 0 : error;
}

void ReleaseTurn(HANDLE file) { UnlockRange(file, kGuardOffset, 1); }

}  // namespace varnok
