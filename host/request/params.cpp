#include "request/params.h"

#include <cmath>

namespace kelto {

namespace {

const JsonValue* dataMember(const JsonValue& root, std::u16string_view key) {
  const JsonObject& data = getData(root);
  auto it = data.find(key);
  return it == data.end() ? nullptr : &it->second;
}

std::u16string stringOf(const JsonValue* value) {
  return value && value->isString() ? value->asString() : std::u16string();
}

}  // namespace

const JsonObject& getData(const JsonValue& root) {
  static const JsonObject kEmpty;
  const JsonValue* data = root.member(u"data");
  return data && data->isObject() ? data->asObject() : kEmpty;
}

std::u16string getContentId(const JsonValue& root) {
  return stringOf(root.member(u"contentId"));
}

std::u16string getRequestAction(const JsonValue& root) {
  return stringOf(dataMember(root, u"requestAction"));
}

std::u16string getProviderName(const JsonValue& root) {
  return stringOf(dataMember(root, u"providerName"));
}

std::u16string getContainerName(const JsonValue& root) {
  return stringOf(dataMember(root, u"containerName"));
}

std::u16string getPassword(const JsonValue& root) {
  return stringOf(dataMember(root, u"password"));
}

std::u16string getSignatureType(const JsonValue& root) {
  return stringOf(dataMember(root, u"signatureType"));
}

std::u16string getStorageType(const JsonValue& root) {
  return stringOf(dataMember(root, u"storageType"));
}

std::u16string getWorkingDirectory(const JsonValue& root) {
  return stringOf(dataMember(root, u"workingDirectory"));
}

std::u16string getFileDataPath(const JsonValue& root) {
  return stringOf(dataMember(root, u"fileDataPath"));
}

bool hasHandleProvider(const JsonValue& root) {
  const JsonValue* value = dataMember(root, u"handleProvider");
  return value && value->isNumber();
}

std::uint64_t getHandleProvider(const JsonValue& root) {
  const JsonValue* value = dataMember(root, u"handleProvider");
  if (!value || !value->isNumber()) return 0;
  const double number = value->asNumber();
  constexpr double kTwo63 = 9223372036854775808.0;
  constexpr std::uint64_t kSignBit = 0x8000000000000000ull;
  if (std::isnan(number) || number >= kTwo63 || number < -kTwo63) return kSignBit;
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(number));
}

StagedFile getContentFile(const JsonValue& root) {
  const JsonObject& data = getData(root);
  auto content = data.find(u"contentFile");
  if (content == data.end() || !content->second.isString()) return {};
  return stageContent(getWorkingDirectory(root), content->second.asString());
}

std::u16string getFileData(const JsonValue& root, StagedFile& staged) {
  std::u16string path = getFileDataPath(root);
  if (!path.empty()) return path;
  staged = getContentFile(root);
  return staged.path();
}

}  // namespace kelto
