// Request and reply texts as they may appear in the log: the value of every
// "password" member is replaced by "is exist" or "is empty", so that a PIN
// never reaches a log file. Text that is not JSON is not logged verbatim
// either, since it may hold a PIN all the same.
#pragma once

#include <string>

namespace kelto {

std::u16string textForLog(const std::u16string& json);

}  // namespace kelto
