#include <cstdio>

#include "channel/loop.h"
#include "logging/logger.h"
#include "logging/startlog.h"
#include "platform/platform.h"

int main() {
  kelto::platform::prepareStandardStreams();
  kelto::startLog(KELTO_LOG_SEVERITY);

  switch (kelto::platform::takeReplyChannel()) {
    case kelto::platform::ReplyChannelSetup::Ok: break;
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

  kelto::serveRequests(stdin);
  return 0;
}
