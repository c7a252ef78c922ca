#include "staging/staging.h"

#include <cstdio>

#include "base64/base64.h"
#include "channel/textconv.h"
#include "logging/logger.h"
#include "logging/random.h"
#include "platform/platform.h"
#include "request/params.h"

namespace {

bool endsWithSeparator(const std::u16string& path) {
  return !path.empty() &&
         (path.back() == u'/' || path.back() == kelto::platform::pathSeparator());
}

std::u16string withSeparator(std::u16string path) {
  if (!path.empty() && !endsWithSeparator(path)) path += kelto::platform::pathSeparator();
  return path;
}

}  // namespace

std::u16string getDefaultWorkingDirectory() {
  std::u16string directory = withSeparator(kelto::platform::tempFolder()) +
                             u"kelto_data_signed" + kelto::platform::pathSeparator();
  kelto::platform::createDirectory(directory);  // usually exists already
  return directory;
}

std::u16string getFileData(const JsonValue& root) {
  std::u16string path = getFileDataPath(root);
  return path.empty() ? getContentFile(root) : path;
}

std::u16string getContentFile(const JsonValue& root) {
  const JsonObject& data = getData(root);
  auto content = data.find(u"contentFile");
  if (content == data.end() || !content->second.isString()) return {};

  const std::u16string requested = getWorkingDirectory(root);
  if (!requested.empty()) {
    const std::u16string directory = withSeparator(requested);
    kelto::platform::createDirectory(directory);
    return createDataFile(directory, content->second.asString());
  }
  // The temporary folder is shared on POSIX: a directory of that name that
  // someone else made, or a link planted there, must not receive the data.
  const std::u16string directory = getDefaultWorkingDirectory();
  return createDataFile(directory, content->second.asString(),
                        kelto::platform::isPrivateDirectory(directory));
}

std::u16string createDataFile(const std::u16string& workingDirectory,
                              std::u16string_view content, bool directoryUsable) {
  if (content.empty()) {
    LOG_ERROR << u"Encoded file content is empty...";
    return {};
  }
  if (decodesToNothing(content)) {
    LOG_ERROR << u"Decoded file content is empty...";
    return {};
  }

  kelto::platform::NamedLock lock(u"keltoDataSignedCreateDataFileLock");
  std::u16string name;
  do {
    name = workingDirectory + u"KeltoDataSigned_" + ansiToWide(randomString(7)) + u".bin";
  } while (kelto::platform::fileExists(name));

  std::FILE* file = directoryUsable ? kelto::platform::createNewFile(name) : nullptr;
  if (!file) {
    LOG_ERROR << u"Error open file " << name;
    return {};
  }
  bool written = decodeBase64(content, [file](const std::uint8_t* bytes, std::size_t size) {
    return std::fwrite(bytes, 1, size, file) == size;
  });
  written = std::fclose(file) == 0 && written;
  if (!written) {
    LOG_ERROR << u"Error write file " << name;
    kelto::platform::removeFile(name);
    return {};
  }
  LOG_DEBUG << u"Write file " << name << u" ok...";
  return name;
}
