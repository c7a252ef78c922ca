#include "handles.h"

#include <unordered_map>

namespace softcsp {
namespace {

struct Entry {
  HandleKind kind;
  std::shared_ptr<void> object;
};

struct Table {
  std::unordered_map<ULONG_PTR, Entry> entries;
  // Numbers are never reused, so a handle released long ago cannot come back
  // to life as someone else's object.
  ULONG_PTR next = 1;
};

// The table and the lock are never destroyed: the exit handler that empties
// the table (see ossl.cpp) may run after the destructors of statics made
// later than it was registered.
Table& table() {
  static auto* t = new Table;
  return *t;
}

}  // namespace

std::unique_lock<std::recursive_mutex> lockApi() {
  static auto* m = new std::recursive_mutex;
  return std::unique_lock<std::recursive_mutex>(*m);
}

ULONG_PTR addHandle(HandleKind kind, std::shared_ptr<void> object) {
  Table& t = table();
  // The kind sits above bit 40, so numbers of different kinds never meet,
  // while every handle stays below 2^53 (and 10^15): callers carry handles
  // as JSON numbers, which hold only such integers exactly.
  const ULONG_PTR handle = (ULONG_PTR{static_cast<unsigned>(kind)} << 40) | t.next++;
  t.entries.emplace(handle, Entry{kind, std::move(object)});
  return handle;
}

std::shared_ptr<void> findHandle(HandleKind kind, ULONG_PTR handle) {
  Table& t = table();
  const auto it = t.entries.find(handle);
  if (it == t.entries.end() || it->second.kind != kind) return nullptr;
  return it->second.object;
}

bool removeHandle(HandleKind kind, ULONG_PTR handle) {
  Table& t = table();
  const auto it = t.entries.find(handle);
  if (it == t.entries.end() || it->second.kind != kind) return false;
  // Destroy the object after the entry is gone, outside the map's hands.
  std::shared_ptr<void> object = std::move(it->second.object);
  t.entries.erase(it);
  return true;
}

void removeAllHandles() {
  Table& t = table();
  // Objects freed here may release handles of their own: the table they see
  // is already empty and consistent.
  std::unordered_map<ULONG_PTR, Entry> entries = std::move(t.entries);
  t.entries.clear();
  entries.clear();
}

}  // namespace softcsp
