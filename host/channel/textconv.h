// Conversions between the program's wide text (UTF-16 code units) and the
// byte encodings at its edges: UTF-8 on the pipe, the ANSI code page for
// narrow system calls.
#pragma once

#include <string>
#include <string_view>



// Checked UTF-8 decoding. Throws a utf8::exception (not_enough_room,
// invalid_utf8, invalid_code_point) on malformed input; never repairs.
std::u16string utf8ToWide(std::string_view bytes);

// Checked UTF-8 encoding. Throws utf8::invalid_utf16 on an unpaired surrogate.
std::string wideToUtf8(const std::u16string& text);

// The system ANSI code page (UTF-8 on POSIX). Never fails visibly.
std::u16string ansiToWide(const std::string& bytes);
std::string wideToAnsi(const std::u16string& text);


