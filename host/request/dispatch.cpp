#include "request/dispatch.h"

#include "crypto/DataSigned.h"
#include "logging/logger.h"
#include "request/params.h"
#include "request/response.h"
#include "staging/staging.h"

namespace kelto {

namespace {

// The provider service lives as long as the process: it remembers the
// sessions the browser opened.
kelto::DataSigned& service() {
  static kelto::DataSigned instance;
  return instance;
}

// The staged copy holds the content now; the request's Base64 text can be
// tens of MiB and is not echoed, so it is dropped before signing.
void dropContentFile(JsonValue& root) {
  JsonValue* data = root.member(u"data");
  if (data && data->isObject()) data->asObject().erase(u"contentFile");
}

}  // namespace

std::u16string processingMessage(std::u16string message) {
  std::unique_ptr<JsonValue> request = JsonValue::parseOwned(std::move(message));
  message = std::u16string();  // the parsed document holds all we need
  if (!request) {
    LOG_ERROR << u"JSON failed to parse";
    return {};
  }
  if (!request->isObject()) {
    LOG_ERROR << u"The root element is not an object";
    return {};
  }
  std::u16string result, description, signature, certificate, containers;
  std::uint64_t handleProvider = 0;
  processingMessage(*request, result, description, signature, certificate, containers,
                    handleProvider);
  return buildResponse(*request, result, description, signature, certificate, containers,
                       handleProvider);
}

void processingMessage(JsonValue& root, std::u16string& result,
                       std::u16string& description, std::u16string& signature,
                       std::u16string& certificate, std::u16string& containers,
                       std::uint64_t& handleProvider) {
  kelto::DataSigned& provider = service();
  const std::u16string action = getRequestAction(root);
  LOG_DEBUG << u"Action " << action << u"...";
  auto outcome = [&result](bool ok) { result = ok ? u"success" : u"error"; };

  if (action == u"openCryptoProvider") {
    const bool ok = provider.openProvider(getContainerName(root), getProviderName(root),
                                          getPassword(root), description, handleProvider);
    if (ok) provider.addSession(handleProvider);
    outcome(ok);
  } else if (action == u"getListContainer") {
    outcome(provider.getListContainer(getProviderName(root), description, containers));
  } else if (action == u"getCertificate") {
    outcome(provider.getCertificate(getHandleProvider(root), getContainerName(root),
                                    getProviderName(root), getPassword(root),
                                    getStorageType(root), hasHandleProvider(root),
                                    description, certificate));
  } else if (action == u"getSignature") {
    const std::u16string containerName = getContainerName(root);
    const std::u16string providerName = getProviderName(root);
    const std::u16string password = getPassword(root);
    StagedFile staged;  // deleted when this branch is left, however that happens
    const std::u16string fileData = getFileData(root, staged);
    dropContentFile(root);
    outcome(provider.signData(getHandleProvider(root), containerName, providerName,
                              password, fileData, getSignatureType(root),
                              getStorageType(root), hasHandleProvider(root), description,
                              signature));
  } else if (action == u"closeCryptoProvider") {
    const std::uint64_t handle = getHandleProvider(root);
    // Only a session this process opened and has not closed may be released.
    if (!hasHandleProvider(root) || !provider.isSession(handle)) {
      result = u"error";
      description = u"Bad parameter handleProvider in action closeCryptoProvider";
      LOG_ERROR << description;
    } else {
      const bool ok = provider.closeProvider(handle, description);
      if (ok) provider.removeSession(handle);
      outcome(ok);
    }
  } else {
    result = u"error";
    description = u"Unknow request action " + action;
    LOG_ERROR << description;
  }
}

}  // namespace kelto
