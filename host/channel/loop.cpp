#include "channel/loop.h"

#include "channel/framing.h"
#include "logging/logger.h"
#include "request/dispatch.h"
#include "request/logtext.h"

namespace kelto {

// This is main's loop: its records carry main's name wherever the code lives.
#define LOOP_DEBUG KELTO_LOG_IN(::kelto::log::debug, "int main()")
#define LOOP_ERROR KELTO_LOG_IN(::kelto::log::error, "int main()")

void serveRequests(std::FILE* in) {
  for (;;) {
    const std::uint32_t length = readMessageLength(in);
    if (length == 0) {
      LOOP_DEBUG << u"Read message size: 0. Exit.";
      return;
    }
    LOOP_DEBUG << u"Read message size: " << length;
    if (length > kMaxMessageSize) {
      discardMessage(in, length);
      LOOP_ERROR << u"Error alloc memory for message, size: " << length;
      writeMessage(kAllocErrorReply);
      continue;
    }
    // Anything thrown while one request is served (an allocation that
    // fails, say) ends that request without a reply; the loop goes on.
    try {
      std::u16string message = readMessage(in, length);
      LOOP_DEBUG << u"Read message: " << textForLog(message);
      std::u16string reply = processingMessage(std::move(message));
      LOOP_DEBUG << u"Send to browser: " << textForLog(reply);
      writeMessage(reply);
    } catch (...) {
      try {
        LOOP_ERROR << u"Request dropped: processing failed";
      } catch (...) {
      }
    }
  }
}

}  // namespace kelto
