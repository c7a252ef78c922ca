// Allocation failures on demand: this test binary replaces the global
// operator new, so a test can make the n-th allocation from now throw
// std::bad_alloc, as a full memory would, wherever in the program it happens.
#pragma once

#include <new>

namespace kelto::test {

// Makes the n-th allocation from now (n >= 1) fail; 0 disarms.
void failAllocation(long n);

// True when the armed failure happened (and disarms it).
bool allocationFailed();

// Runs `work` once for each allocation it makes, failing that allocation,
// then once with none failing; `check` runs after each run. Returns the
// number of runs. `work` must not let anything but std::bad_alloc escape.
template <typename Work, typename Check>
long forEachAllocationFailing(Work work, Check check) {
  for (long n = 1;; ++n) {
    failAllocation(n);
    try {
      work();
    } catch (const std::bad_alloc&) {
    }
    const bool failed = allocationFailed();
    check();
    if (!failed || n > 100000) return n;
  }
}

}  // namespace kelto::test
