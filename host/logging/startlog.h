// Log start-up: picks "KeltoDataSigned_" + seven random characters + ".log"
// in the temporary folder, a name no existing file has, while holding the
// cross-process lock "keltoDataSignedCreateLogNameLock", and starts the logger
// there. At severity none nothing is ever written and no file is created.
// Seeds the random-name generator with the process id.
#pragma once

namespace kelto {

void startLog(int maxSeverity);

}  // namespace kelto
