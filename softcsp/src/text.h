// UTF-16 from callers to the UTF-8 used on disk and as the "ANSI" code page.
#pragma once

#include <string>

namespace softcsp {

// False for unpaired surrogates: such a name could not round-trip.
bool utf16ToUtf8(const char16_t* text, std::string& out);

}  // namespace softcsp
