// How the provider service reports: every system call is announced, and its
// success or failure recorded, in the name of the operation that makes it
// (the log names operations, not helpers); a failure also gives the operation
// its description. Each failure helper returns false for the operation to
// return.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/cryptoapi.h"

namespace kelto {

// The operation a record is written for, as KELTO_HERE takes it.
struct Here {
  const char* function;
  int line;
};
#define KELTO_HERE (::kelto::Here{__PRETTY_FUNCTION__, __LINE__})

// One system call: "Start <call>..." when it is made (or "Start
// <announced>..." when given), then "<call> success..." or the error record
// "<call>: " + description.
class Step {
 public:
  Step(Here here, std::u16string_view call, std::u16string_view announced = {});

  // Records the success, as `record` when one is given; true.
  bool succeeded(std::u16string_view record = {}) const;
  // The call failed: `description` gets getErrorDescription() (so nothing may
  // run between the call and this), recorded as "<call>: " + description.
  bool failed(std::u16string& description) const;

 private:
  Here here_;
  std::u16string_view call_;
};

// A failure the operation finds itself: `description` gets `text`, recorded
// as "<label>: " + text, or as the text alone when `label` is empty.
bool refused(Here here, std::u16string_view label, std::u16string_view text,
             std::u16string& description);

// The records of the parameters that name a session or the key for one:
// "Handle provider: ", "Container name: ", "Provider alias: " and "Password: "
// (only whether there is one).
void recordKeyParameters(Here here, std::uint64_t handle,
                         const std::u16string& containerName, const std::u16string& alias,
                         const std::u16string& password);

// Variable-length output fetched the CryptoAPI way: `get(nullptr, &size)`
// asks the size (records of the step "<call>(size)"), an exact buffer is
// allocated (`noMemory` is the description when that fails), `get(buffer,
// &size)` fills it (records of the step "<call>") and `out` takes the bytes
// the call reports. Nothing is written to `out` on failure.
bool fetchSized(Here here, std::u16string_view call, std::u16string_view noMemory,
                std::u16string& description, std::vector<std::uint8_t>& out,
                const std::function<BOOL(BYTE* buffer, DWORD* size)>& get);

}  // namespace kelto
