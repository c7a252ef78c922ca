#include "logging/startlog.h"

#include "logging/logger.h"
#include "logging/random.h"
#include "platform/platform.h"
#include "text/textconv.h"

namespace kelto {

void startLog(int maxSeverity) {
  // The first record is written while the lock is held, so another instance
  // starting at the same moment sees the name as taken.
  kelto::platform::NamedLock lock(u"keltoDataSignedCreateLogNameLock");
  seedRandom(kelto::platform::processId());
  const std::u16string prefix = kelto::platform::tempFolder();
  auto candidate = [prefix] {
    return prefix + u"KeltoDataSigned_" + platform::ansiToWide(randomString(7)) + u".log";
  };
  std::u16string name = candidate();
  for (int attempt = 1; attempt < kNameAttempts && kelto::platform::fileExists(name);
       ++attempt)
    name = candidate();
  // The file is made later, at the first record; a name taken by then is
  // replaced by the logger with another of the same kind.
  kelto::log::init(maxSeverity, name, candidate);
  LOG_DEBUG << u"Start keltoDataSigned...";
}

}  // namespace kelto
