// Frames on the browser pipe: a 32-bit little-endian byte length, then that
// many bytes of UTF-8 JSON.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kelto {

// Larger bodies are never allocated: they are read past and answered with
// kAllocErrorReply so that the stream stays in step.
constexpr std::uint32_t kMaxMessageSize = 256u * 1024u * 1024u;

extern const char16_t kAllocErrorReply[];

// Reads the length prefix. Bytes missing at the end of input count as 0, so
// end of input gives 0.
std::uint32_t readMessageLength(std::FILE* in);

// Reads a body of `length` bytes (at most kMaxMessageSize) and converts it to
// wide text. When input ends early the missing bytes read as zero: the text
// gets one U+0000 there, where every reader of it stops. A body that is not
// valid UTF-8, or that cannot be held, gives an empty text, which the
// dispatcher rejects like any text that does not parse; the rest of such a
// body is read past all the same. Never throws.
std::u16string readMessage(std::FILE* in, std::uint32_t length);

// Reads past `length` bytes, or up to the end of input.
void discardMessage(std::FILE* in, std::uint32_t length);

// Writes the reply as one frame on the reply channel; an empty reply writes
// nothing. A reply that cannot be encoded is dropped whole: a partial frame
// is never written.
void writeMessage(const std::u16string& reply);

}  // namespace kelto
