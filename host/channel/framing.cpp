#include "channel/framing.h"

#include <utf8.h>

#include "logging/logger.h"
#include "platform/platform.h"
#include "text/textconv.h"

namespace kelto {

const char16_t kAllocErrorReply[] =
    u"{\"data\":{\"description\":\"Error alloc memory for "
    u"message\",\"result\":\"error\"}}";

std::uint32_t readMessageLength(std::FILE* in) {
  unsigned char bytes[4] = {0, 0, 0, 0};
  std::size_t got = std::fread(bytes, 1, 4, in);
  (void)got;  // missing bytes stay 0
  return static_cast<std::uint32_t>(bytes[0]) |
         static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::u16string readMessage(std::FILE* in, std::uint32_t length) {
  // Whatever goes wrong, the whole body is read: what the browser sent after
  // a bad byte, still inside this body, must never be taken for frames.
  std::uint32_t left = length;
  const char16_t* failure = nullptr;
  try {
    // The body is converted as it arrives, so its bytes and its wide text are
    // never both in memory whole.
    std::u16string message;
    message.reserve(length);
    kelto::platform::preferLargePages(&message[0], message.capacity() * sizeof(char16_t));
    Utf8Decoder decoder(message);
    char chunk[65536];
    while (left > 0) {
      const std::size_t got =
          std::fread(chunk, 1, left < sizeof chunk ? left : sizeof chunk, in);
      if (got == 0) {
        // Missing bytes read as zero: the text ends there, and a sequence cut
        // short by them is malformed. One zero stands for them all.
        left = 0;
        decoder.feed(std::string_view("", 1));
        break;
      }
      left -= static_cast<std::uint32_t>(got);
      decoder.feed(std::string_view(chunk, got));
    }
    decoder.finish();
    return message;
  } catch (const utf8::exception&) {
    failure = u"Message is not valid UTF-8";
  } catch (...) {
    failure = u"Error alloc memory for message";
  }
  discardMessage(in, left);
  try {
    LOG_ERROR << failure << u", size: " << length;
  } catch (...) {
  }
  return {};
}

void discardMessage(std::FILE* in, std::uint32_t length) {
  char chunk[65536];
  while (length > 0) {
    std::size_t want = length < sizeof chunk ? length : sizeof chunk;
    std::size_t got = std::fread(chunk, 1, want, in);
    if (got == 0) return;
    length -= static_cast<std::uint32_t>(got);
  }
}

void writeMessage(const std::u16string& reply) {
  std::string body;
  try {
    body = wideToUtf8(reply);
  } catch (const utf8::exception&) {
    LOG_ERROR << u"Reply is not valid UTF-16, not sent";
    return;
  }
  if (body.size() > 0xFFFFFFFFu) {
    LOG_ERROR << u"Reply too large, not sent: " << body.size();
    return;
  }
  const auto size = static_cast<std::uint32_t>(body.size());
  LOG_DEBUG << u"Write message size: " << size;
  if (size == 0) return;
  const unsigned char prefix[4] = {
      static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
      static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
  if (kelto::platform::writeReply(prefix, sizeof prefix))
    kelto::platform::writeReply(body.data(), body.size());
}

}  // namespace kelto
