#include "failing_alloc.h"

#include <cstdlib>
#include <new>

namespace {

long g_countdown = 0;
bool g_failed = false;

}  // namespace

namespace kelto::test {

void failAllocation(long n) {
  g_countdown = n;
  g_failed = false;
}

bool allocationFailed() {
  const bool failed = g_failed;
  g_countdown = 0;
  g_failed = false;
  return failed;
}

}  // namespace kelto::test

// The array and nothrow forms of the library call these.
void* operator new(std::size_t size) {
  if (g_countdown > 0 && --g_countdown == 0) {
    g_failed = true;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }

void operator delete(void* block, std::size_t) noexcept { std::free(block); }
