#include "logging/startlog.h"

#include "channel/textconv.h"
#include "logging/logger.h"
#include "logging/random.h"
#include "platform/platform.h"

void startLog(int maxSeverity) {
  // The first record is written while the lock is held, so another instance
  // starting at the same moment sees the name as taken.
  kelto::platform::NamedLock lock(u"keltoDataSignedCreateLogNameLock");
  seedRandom(kelto::platform::processId());
  const std::u16string prefix = kelto::platform::tempFolder();
  std::u16string name;
  do {
    name = prefix + u"KeltoDataSigned_" + ansiToWide(randomString(7)) + u".log";
  } while (kelto::platform::fileExists(name));
  kelto::log::init(maxSeverity, name);
  LOG_DEBUG << u"Start keltoDataSigned...";
}
