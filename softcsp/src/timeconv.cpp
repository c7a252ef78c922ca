// FILETIME <-> civil time, and the two Win32 time services the host calls.
#include "timeconv.h"

#include <ctime>

#include "errors.h"

using softcsp::civilFromFileTime;
using softcsp::CivilTime;
using softcsp::fail;
using softcsp::fileTimeFromCivil;
using softcsp::toFileTime;

namespace softcsp {
namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksPerDay = kTicksPerSecond * 86400;
// 1601-01-01 relative to 1970-01-01.
constexpr int64_t kEpoch1601 = -134774;

bool isLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int64_t y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

// Howard Hinnant's days_from_civil: days since 1970-01-01.
int64_t daysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

CivilTime civilFromFileTime(uint64_t ticks) {
  const int64_t days = static_cast<int64_t>(ticks / kTicksPerDay) + kEpoch1601;
  uint64_t rest = ticks % kTicksPerDay;
  CivilTime t{};
  // civil_from_days
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = yoe + era * 400 + (t.month <= 2);
  t.dayOfWeek = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01: Thursday
  t.hour = static_cast<int>(rest / (kTicksPerSecond * 3600));
  rest %= kTicksPerSecond * 3600;
  t.minute = static_cast<int>(rest / (kTicksPerSecond * 60));
  rest %= kTicksPerSecond * 60;
  t.second = static_cast<int>(rest / kTicksPerSecond);
  t.millisecond = static_cast<int>(rest % kTicksPerSecond / 10000);
  return t;
}

bool fileTimeFromCivil(const CivilTime &t, uint64_t &ticks) {
  if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12 ||
      t.day < 1 || t.day > daysInMonth(t.year, t.month) || t.hour < 0 ||
      t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 ||
      t.second > 59 || t.millisecond < 0 || t.millisecond > 999)
    return false;
  const int64_t days = daysFromCivil(t.year, t.month, t.day) - kEpoch1601;
  ticks = static_cast<uint64_t>(days) * kTicksPerDay +
          static_cast<uint64_t>(t.hour * 3600 + t.minute * 60 + t.second) *
              kTicksPerSecond +
          static_cast<uint64_t>(t.millisecond) * 10000;
  return true;
}

}  // namespace softcsp

extern "C" {

void GetSystemTime(LPSYSTEMTIME st) {
  if (st == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t unixDays = now.tv_sec / 86400;
  const uint64_t ticks =
      static_cast<uint64_t>(unixDays - softcsp::kEpoch1601) * softcsp::kTicksPerDay +
      static_cast<uint64_t>(now.tv_sec % 86400) * softcsp::kTicksPerSecond +
      static_cast<uint64_t>(now.tv_nsec / 100);
  const CivilTime t = civilFromFileTime(ticks);
  st->wYear = static_cast<WORD>(t.year);
  st->wMonth = static_cast<WORD>(t.month);
  st->wDayOfWeek = static_cast<WORD>(t.dayOfWeek);
  st->wDay = static_cast<WORD>(t.day);
  st->wHour = static_cast<WORD>(t.hour);
  st->wMinute = static_cast<WORD>(t.minute);
  st->wSecond = static_cast<WORD>(t.second);
  st->wMilliseconds = static_cast<WORD>(t.millisecond);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME *st, LPFILETIME ft) {
  if (st == nullptr || ft == nullptr) return fail(ERROR_INVALID_PARAMETER);
  CivilTime t{st->wYear, st->wMonth, st->wDay, st->wHour, st->wMinute,
              st->wSecond, st->wMilliseconds, 0};
  uint64_t ticks = 0;
  if (!fileTimeFromCivil(t, ticks)) return fail(ERROR_INVALID_PARAMETER);
  *ft = toFileTime(ticks);
  return TRUE;
}

}  // extern "C"
