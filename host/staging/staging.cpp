#include "staging/staging.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "base64/base64.h"
#include "logging/logger.h"
#include "logging/random.h"
#include "platform/platform.h"
#include "text/textconv.h"

namespace kelto {

namespace {

// Closes a file that an exception leaves open, before its owner deletes it.
struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

bool endsWithSeparator(const std::u16string& path) {
  return !path.empty() &&
         (path.back() == u'/' || path.back() == platform::pathSeparator());
}

std::u16string withSeparator(std::u16string path) {
  if (!path.empty() && !endsWithSeparator(path)) path += platform::pathSeparator();
  return path;
}

}  // namespace

StagedFile::StagedFile(StagedFile&& other) noexcept
    : path_(std::exchange(other.path_, {})),
      directory_(std::exchange(other.directory_, {})) {}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::exchange(other.path_, {});
    directory_ = std::exchange(other.directory_, {});
  }
  return *this;
}

StagedFile::~StagedFile() { release(); }

void StagedFile::release() noexcept {
  if (!path_.empty() && !platform::removeFile(path_)) {
    try {
      // The dispatcher's record: the file was staged for its request.
      KELTO_LOG_IN(kelto::log::error, "void processingMessage()")
          << u"Error delete file " << path_;
    } catch (...) {
    }
  }
  if (!directory_.empty()) platform::removeDirectory(directory_);
  path_.clear();
  directory_.clear();
}

std::u16string getDefaultWorkingDirectory() {
  const std::u16string folder = platform::privateFolder();
  if (folder.empty()) return {};
  std::u16string directory = folder + u"kelto_data_signed" + platform::pathSeparator();
  platform::createDirectory(directory);  // usually exists already
  return directory;
}

StagedFile stageContent(const std::u16string& workingDirectory,
                        std::u16string_view content) {
  if (!workingDirectory.empty()) {
    const std::u16string directory = withSeparator(workingDirectory);
    platform::createDirectory(directory);
    return createDataFile(directory, content);
  }
  const std::u16string directory = getDefaultWorkingDirectory();
  if (!directory.empty() && platform::isPrivateDirectory(directory))
    return createDataFile(directory, content);
  // A link or someone else's directory in its place must neither receive the
  // data nor stop the signing.
  const std::u16string own = platform::createUniqueDirectory(
      withSeparator(platform::tempFolder()), u"kelto_data_signed_");
  return createDataFile(own, content, !own.empty());
}

StagedFile createDataFile(const std::u16string& workingDirectory,
                          std::u16string_view content, bool ownsDirectory) {
  StagedFile staged(ownsDirectory ? workingDirectory : std::u16string());
  if (content.empty()) {
    LOG_ERROR << u"Encoded file content is empty...";
    return staged;
  }
  if (decodesToNothing(content)) {
    LOG_ERROR << u"Decoded file content is empty...";
    return staged;
  }

  platform::NamedLock lock(u"keltoDataSignedCreateDataFileLock");
  std::u16string name;
  bool available = false;
  for (int attempt = 0; attempt < kNameAttempts && !available; ++attempt) {
    name = workingDirectory + u"KeltoDataSigned_" +
           platform::ansiToWide(randomString(7)) + u".bin";
    available = !platform::fileExists(name);
  }

  std::u16string owned = name;  // copied first: taking the new file cannot fail
  std::unique_ptr<std::FILE, FileClose> file(
      available && !workingDirectory.empty() ? platform::createNewFile(name) : nullptr);
  if (!file) {
    LOG_ERROR << u"Error open file " << name;
    return staged;
  }
  staged.hold(std::move(owned));
  std::FILE* out = file.get();
  std::size_t stop = 0;
  bool written = decodeBase64(
      content,
      [out](const std::uint8_t* bytes, std::size_t size) {
        return std::fwrite(bytes, 1, size, out) == size;
      },
      &stop);
  written = std::fclose(file.release()) == 0 && written;
  if (!written) {
    LOG_ERROR << u"Error write file " << name;
    return StagedFile();  // `staged` deletes the partly written file
  }
  // Lenient decoding would drop everything after a line break, a blank, a
  // URL-safe character or inner padding: signing the rest would sign part of
  // the document as if it were the whole.
  const std::size_t unread = findUnreadBase64(content, stop);
  if (unread != std::u16string_view::npos) {
    LOG_ERROR << u"Encoded file content is not Base64 at offset " << stop
              << u" and goes on at offset " << unread << u"...";
    return StagedFile();
  }
  LOG_DEBUG << u"Write file " << name << u" ok...";
  return staged;
}

}  // namespace kelto
