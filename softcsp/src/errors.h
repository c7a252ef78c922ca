// Last-error plumbing shared by every entry point.
#pragma once

#include "softcsp/wincrypt.h"

namespace softcsp {

// Sets the thread's last error and returns FALSE, so that an entry point can
// end with `return fail(CODE);`.
BOOL fail(DWORD code);

// Ends an entry point from an internal result: 0 means success.
inline BOOL finish(DWORD code) {
  if (code != 0) return fail(code);
  return TRUE;
}

// Copies `size` bytes to a caller buffer with the CryptoAPI size protocol:
// a null buffer asks for the size, a short one fails with ERROR_MORE_DATA.
// The length is written in every case.
DWORD copyOut(const void* data, size_t size, BYTE* out, DWORD* outLen);

}  // namespace softcsp
