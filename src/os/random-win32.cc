#include <windows.h>

#include "os/random.h"

// RtlGenRandom, which advapi32 exports under this name.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

namespace varnok {

bool SystemRandom(std::string* out) {
  return SystemFunction036(&(*out)[0], static_cast<ULONG>(out->size())) != 0;
}

}  // namespace varnok
