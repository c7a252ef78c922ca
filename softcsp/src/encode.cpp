// CryptEncodeObject for the one structure the host encodes: a time value.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "errors.h"
#include "timeconv.h"

using softcsp::civilFromFileTime;
using softcsp::CivilTime;
using softcsp::copyOut;
using softcsp::fail;
using softcsp::fileTimeTicks;
using softcsp::finish;

namespace {

bool isTimeType(LPCSTR type) {
  // Predefined structure types are small integers cast to a pointer and
  // must not be read as text.
  if (reinterpret_cast<uintptr_t>(type) >> 16 == 0) return type == PKCS_UTC_TIME;
  return std::strcmp(type, szOID_RSA_signingTime) == 0;
}

// X.509 and CMS rule: UTCTime for 1950-2049, GeneralizedTime otherwise.
std::string encodeTime(const FILETIME &ft) {
  const CivilTime t = civilFromFileTime(fileTimeTicks(ft));
  char text[32];
  const bool utc = t.year >= 1950 && t.year <= 2049;
  if (utc)
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ",
                  static_cast<int>(t.year % 100), t.month, t.day, t.hour,
                  t.minute, t.second);
  else
    std::snprintf(text, sizeof text, "%04" PRId64 "%02d%02d%02d%02d%02dZ",
                  t.year, t.month, t.day, t.hour, t.minute, t.second);
  std::string der;
  der += static_cast<char>(utc ? 0x17 : 0x18);
  der += static_cast<char>(std::strlen(text));
  der += text;
  return der;
}

}  // namespace

extern "C" {

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                       const void *pvStructInfo, BYTE *pbEncoded,
                       DWORD *pcbEncoded) {
  if (pcbEncoded == nullptr || lpszStructType == nullptr)
    return fail(ERROR_INVALID_PARAMETER);
  // Windows has no encoder for these and reports the missing function.
  if ((dwCertEncodingType & X509_ASN_ENCODING) == 0 || !isTimeType(lpszStructType))
    return fail(ERROR_FILE_NOT_FOUND);
  if (pvStructInfo == nullptr) return fail(ERROR_INVALID_PARAMETER);
  const std::string der = encodeTime(*static_cast<const FILETIME *>(pvStructInfo));
  return finish(copyOut(der.data(), der.size(), pbEncoded, pcbEncoded));
}

}  // extern "C"
