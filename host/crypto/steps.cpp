#include "crypto/steps.h"

#include "crypto/bytes.h"
#include "crypto/providers.h"
#include "logging/logger.h"

// A record in the operation's name, its operands not evaluated when filtered.
#define RECORD_FOR(here, severity) KELTO_LOG_AT(severity, (here).function, (here).line)

namespace kelto {

Step::Step(Here here, std::u16string_view call, std::u16string_view announced)
    : here_(here), call_(call) {
  RECORD_FOR(here_, log::debug)
      << u"Start " << (announced.empty() ? call_ : announced) << u"...";
}

bool Step::succeeded(std::u16string_view record) const {
  if (record.empty()) {
    RECORD_FOR(here_, log::debug) << call_ << u" success...";
  } else {
    RECORD_FOR(here_, log::debug) << record;
  }
  return true;
}

bool Step::failed(std::u16string& description) const {
  description = getErrorDescription();
  RECORD_FOR(here_, log::error) << call_ << u": " << description;
  return false;
}

bool refused(Here here, std::u16string_view label, std::u16string_view text,
             std::u16string& description) {
  description = text;
  if (label.empty()) {
    RECORD_FOR(here, log::error) << description;
  } else {
    RECORD_FOR(here, log::error) << label << u": " << description;
  }
  return false;
}

void recordKeyParameters(Here here, std::uint64_t handle,
                         const std::u16string& containerName, const std::u16string& alias,
                         const std::u16string& password) {
  RECORD_FOR(here, log::debug) << u"Handle provider: " << handle;
  RECORD_FOR(here, log::debug) << u"Container name: "
                               << (containerName.empty() ? u"is empty" : containerName);
  RECORD_FOR(here, log::debug) << u"Provider alias: "
                               << (alias.empty() ? u"is empty" : alias);
  RECORD_FOR(here, log::debug) << u"Password: "
                               << (password.empty() ? u"is empty" : u"is exist");
}

bool fetchSized(Here here, std::u16string_view call, std::u16string_view noMemory,
                std::u16string& description, std::vector<std::uint8_t>& out,
                const std::function<BOOL(BYTE* buffer, DWORD* size)>& get) {
  const std::u16string sizing = std::u16string(call) + u"(size)";
  const Step ask(here, sizing);
  DWORD size = 0;
  if (!get(nullptr, &size)) return ask.failed(description);
  ask.succeeded();

  std::vector<std::uint8_t> buffer;
  if (!allocate(buffer, size)) return refused(here, {}, noMemory, description);
  const Step fill(here, call);
  if (!get(buffer.data(), &size)) return fill.failed(description);
  buffer.resize(size);
  fill.succeeded();
  out = std::move(buffer);
  return true;
}

}  // namespace kelto
