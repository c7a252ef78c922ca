#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <softcsp/wincrypt.h>
#include <utf8.h>

namespace kelto::platform {

namespace {
int g_replyFd = -1;
}

void setBinaryStdin() {
  // POSIX streams never translate bytes.
}

ReplyChannelSetup takeReplyChannel() {
  g_replyFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (g_replyFd < 0) return ReplyChannelSetup::NoStdout;
  if (fcntl(STDERR_FILENO, F_GETFD) < 0) return ReplyChannelSetup::NoStderr;
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
    return ReplyChannelSetup::RedirectFailed;
  return ReplyChannelSetup::Ok;
}

bool writeReply(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(g_replyFd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::u16string tempFolder() {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = (dir && *dir) ? dir : "/tmp";
  if (folder.back() != '/') folder += '/';
  return ansiToWide(folder);
}

char16_t pathSeparator() { return u'/'; }

bool createDirectory(const std::u16string& path) {
  return mkdir(wideToAnsi(path).c_str(), 0700) == 0;
}

bool fileExists(const std::u16string& path) {
  struct stat st;
  return stat(wideToAnsi(path).c_str(), &st) == 0;
}

std::FILE* openFile(const std::u16string& path, const char* mode) {
  return std::fopen(wideToAnsi(path).c_str(), mode);
}

std::FILE* openRegularFile(const std::u16string& path) {
  // O_NONBLOCK keeps open() itself from waiting for a FIFO's writer; once the
  // descriptor is known to be a regular file the flag is dropped again.
  int fd = open(wideToAnsi(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (!file) close(fd);
  return file;
}

std::FILE* createNewFile(const std::u16string& path) {
  int fd = open(wideToAnsi(path).c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (!file) close(fd);
  return file;
}

std::int64_t fileSize(std::FILE* file) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool removeFile(const std::u16string& path) {
  return unlink(wideToAnsi(path).c_str()) == 0;
}

bool isPrivateDirectory(const std::u16string& path) {
  // A trailing "/" would make lstat follow a link: look at the entry itself.
  std::string entry = wideToAnsi(path);
  while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
  struct stat st;
  if (lstat(entry.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

bool systemErrorText(std::uint32_t code, std::u16string& text) {
  const char16_t* message = SoftCspErrorMessage(code);
  if (!message) return false;
  text = message;
  return true;
}

void preferLargePages(void* buffer, std::size_t size) {
  constexpr std::uintptr_t kHuge = 2u * 1024 * 1024;
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer);
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + size) & ~(kHuge - 1);
  if (last > first)
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

std::uint32_t processId() { return static_cast<std::uint32_t>(getpid()); }

std::uint64_t threadId() {
  return static_cast<std::uint64_t>(syscall(SYS_gettid));
}

LocalTime localTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
          tm.tm_min,         tm.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

std::u16string ansiToWide(const std::string& text) {
  std::string valid;
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid));
  std::u16string wide;
  utf8::unchecked::utf8to16(valid.begin(), valid.end(), std::back_inserter(wide));
  return wide;
}

std::string wideToAnsi(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      out += '?';
      continue;
    }
    utf8::unchecked::append(static_cast<utf8::uint32_t>(cp), std::back_inserter(out));
  }
  return out;
}

NamedLock::NamedLock(const std::u16string& name) : handle_(-1) {
  std::string path = wideToAnsi(tempFolder() + name + u".lock");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  int rc;
  do {
    rc = flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    close(fd);
    return;
  }
  handle_ = fd;
}

NamedLock::~NamedLock() {
  if (handle_ < 0) return;
  int fd = static_cast<int>(handle_);
  flock(fd, LOCK_UN);
  close(fd);
}

}  // namespace kelto::platform
