// The CryptoAPI the provider service calls: the system's on Windows, softcsp
// (the same names, types and values over OpenSSL) everywhere else.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <wincrypt.h>
#else
#include <softcsp/wincrypt.h>
#endif
