// Calendar arithmetic between FILETIME and civil UTC time. Done by hand so
// that the whole FILETIME range works, whatever the width of time_t.
#pragma once

#include <cstdint>

#include "softcsp/wincrypt.h"

namespace softcsp {

struct CivilTime {
  int64_t year;
  int month;  // 1..12
  int day;    // 1..31
  int hour, minute, second, millisecond;
  int dayOfWeek;  // 0 = Sunday
};

int64_t daysFromCivil(int64_t y, int m, int d);
CivilTime civilFromFileTime(uint64_t ticks);  // 100 ns since 1601-01-01
// False when a field is out of range (Windows' SystemTimeToFileTime rules).
bool fileTimeFromCivil(const CivilTime& t, uint64_t& ticks);

inline uint64_t fileTimeTicks(const FILETIME& ft) {
  return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}
inline FILETIME toFileTime(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu),
                  static_cast<DWORD>(ticks >> 32)};
}

}  // namespace softcsp
