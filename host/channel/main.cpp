#include <cstdio>
#include <new>

#include "channel/framing.h"
#include "logging/logger.h"
#include "logging/startlog.h"
#include "platform/platform.h"
#include "request/dispatch.h"
#include "request/logtext.h"

int main() {
  kelto::platform::setBinaryStdin();
  startLog(KELTO_LOG_SEVERITY);

  switch (kelto::platform::takeReplyChannel()) {
    case kelto::platform::ReplyChannelSetup::Ok:
      break;
    case kelto::platform::ReplyChannelSetup::NoStdout:
      LOG_ERROR << u"Error get STD_OUTPUT_HANDLE...";
      return 0;
    case kelto::platform::ReplyChannelSetup::NoStderr:
      LOG_ERROR << u"Error get STD_ERROR_HANDLE...";
      return 0;
    case kelto::platform::ReplyChannelSetup::RedirectFailed:
      LOG_ERROR << u"Error set STD_OUTPUT_HANDLE to STD_ERROR_HANDLE...";
      return 0;
  }

  for (;;) {
    const std::uint32_t length = readMessageLength(stdin);
    if (length == 0) {
      LOG_DEBUG << u"Read message size: 0. Exit.";
      return 0;
    }
    LOG_DEBUG << u"Read message size: " << length;
    if (length > kMaxMessageSize) {
      discardMessage(stdin, length);
      LOG_ERROR << u"Error alloc memory for message, size: " << length;
      writeMessage(kAllocErrorReply);
      continue;
    }
    // Anything thrown while one request is served (an allocation that
    // fails, say) ends that request without a reply; the loop goes on.
    try {
      std::u16string message = readMessage(stdin, length);
      LOG_DEBUG << u"Read message: " << textForLog(message);
      std::u16string reply = processingMessage(std::move(message));
      LOG_DEBUG << u"Send to browser: " << textForLog(reply);
      writeMessage(reply);
    } catch (...) {
      try {
        LOG_ERROR << u"Request dropped: processing failed";
      } catch (...) {
      }
    }
  }
}
