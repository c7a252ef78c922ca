// Getters for the parameters of a request. Each takes the request's root (an
// object) and never fails: a missing parameter, or one of another JSON type,
// reads as the empty string, false or 0. Keys match exactly (case-sensitive).
#pragma once

#include <cstdint>
#include <string>

#include "json/json.h"
#include "staging/staging.h"

namespace kelto {

// The `data` object of the request, or an empty object when there is none or
// it is not an object. The reference lives as long as the request document.
const JsonObject& getData(const JsonValue& root);

std::u16string getContentId(const JsonValue& root);
std::u16string getRequestAction(const JsonValue& root);
std::u16string getProviderName(const JsonValue& root);
std::u16string getContainerName(const JsonValue& root);
std::u16string getPassword(const JsonValue& root);
std::u16string getSignatureType(const JsonValue& root);
std::u16string getStorageType(const JsonValue& root);
std::u16string getWorkingDirectory(const JsonValue& root);
std::u16string getFileDataPath(const JsonValue& root);

// True when `data.handleProvider` is a number (0 included).
bool hasHandleProvider(const JsonValue& root);

// `data.handleProvider` truncated toward zero to a signed 64-bit integer and
// returned as its 64 bits; NaN and values outside the signed range give the
// sign bit alone. A handle below 2^53 comes back exactly as it was sent.
std::uint64_t getHandleProvider(const JsonValue& root);

// A new data file holding the decoded `data.contentFile`, staged in
// `data.workingDirectory` or the default directory; its path is empty when
// the request has no string `contentFile` (nothing is created then) or when
// staging failed.
StagedFile getContentFile(const JsonValue& root);

// `data.fileDataPath` when given (nothing is staged), else the path of the
// file getContentFile stages, which `staged` then owns.
std::u16string getFileData(const JsonValue& root, StagedFile& staged);

}  // namespace kelto
