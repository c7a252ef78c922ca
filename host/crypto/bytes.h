// Byte buffers of the provider service. Allocation failures are reported
// with the service's own texts rather than thrown.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

namespace kelto {

inline bool allocate(std::vector<std::uint8_t>& buffer, std::size_t size) {
  try {
    buffer.assign(size, 0);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace kelto
