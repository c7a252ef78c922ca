// The handle table: every handle given to a caller is a number that maps to
// an object here, so a stale or invented handle is found missing instead of
// being dereferenced.
#pragma once

#include <memory>
#include <mutex>

#include "softcsp/wincrypt.h"

namespace softcsp {

enum class HandleKind : unsigned {
  Provider = 1,
  Key = 2,
  Hash = 3,
  Store = 4,
  Message = 5
};

// Held by every entry point for its whole run: the library's state (handle
// table, sessions, certificate contexts) is guarded by this one lock.
std::unique_lock<std::recursive_mutex> lockApi();

ULONG_PTR addHandle(HandleKind kind, std::shared_ptr<void> object);
std::shared_ptr<void> findHandle(HandleKind kind, ULONG_PTR handle);
bool removeHandle(HandleKind kind, ULONG_PTR handle);
// Releases every handle still open (at process exit, before OpenSSL's own
// clean-up); numbers handed out before stay unknown afterwards.
void removeAllHandles();

template <class T>
std::shared_ptr<T> find(HandleKind kind, ULONG_PTR handle) {
  return std::static_pointer_cast<T>(findHandle(kind, handle));
}

}  // namespace softcsp
