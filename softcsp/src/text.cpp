#include "text.h"

#include <utf8.h>

#include <iterator>
#include <string_view>

namespace softcsp {

bool utf16ToUtf8(const char16_t* text, std::string& out) {
  out.clear();
  const std::u16string_view units(text);
  try {
    utf8::utf16to8(units.begin(), units.end(), std::back_inserter(out));
  } catch (const utf8::invalid_utf16&) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace softcsp
