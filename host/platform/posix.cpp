#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <softcsp/wincrypt.h>
#include <utf8.h>

#include "text/textconv.h"

namespace kelto::platform {

namespace {

int g_replyFd = -1;

// The bytes the system gets for a path, made without the heap: a staged file
// must still be deleted when memory has run out.
class NativePath {
 public:
  explicit NativePath(const std::u16string& path) {
    std::size_t out = 0;
    // U+0000 and lone surrogates: see platform.h, such a path names nothing.
    ok_ = forEachCodePoint(path, 0, [this, &out](char32_t cp) {
      char encoded[4];
      const auto length = static_cast<std::size_t>(
          utf8::unchecked::append(static_cast<utf8::uint32_t>(cp), encoded) - encoded);
      // Beyond PATH_MAX no system call takes the path anyway.
      if (cp == 0 || out + length >= sizeof bytes_) return false;
      std::memcpy(bytes_ + out, encoded, length);
      out += length;
      return true;
    });
    bytes_[out] = 0;
    size_ = out;
  }
  // Null when no bytes name exactly that path.
  char* get() { return ok_ ? bytes_ : nullptr; }
  std::size_t size() const { return size_; }

 private:
  char bytes_[PATH_MAX];
  std::size_t size_ = 0;
  bool ok_ = false;
};

}  // namespace

void prepareStandardStreams() {
  // POSIX streams never translate bytes. open() hands out the lowest free
  // descriptor, so a missing 0, 1 or 2 is filled in that order.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = open("/dev/null", O_RDWR | O_NOCTTY);
    if (null > fd) {
      dup2(null, fd);
      close(null);
    }
  }
  // Without this a browser that closed its end kills the host in mid-write.
  std::signal(SIGPIPE, SIG_IGN);
  // A file-size limit reached while staging must fail that write, so that the
  // partly written file is deleted, instead of killing the host beside it.
  std::signal(SIGXFSZ, SIG_IGN);
}

ReplyChannelSetup takeReplyChannel() {
  g_replyFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (g_replyFd < 0) return ReplyChannelSetup::NoStdout;
  if (fcntl(STDERR_FILENO, F_GETFD) < 0) return ReplyChannelSetup::NoStderr;
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return ReplyChannelSetup::RedirectFailed;
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

std::u16string privateFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime == '/') {
    std::u16string folder = ansiToWide(runtime);
    if (folder.back() != u'/') folder += u'/';
    if (isPrivateDirectory(folder)) return folder;
  }
  // The temporary folder is shared: the name only says whose place it should
  // be, and the directory is used only when it really is that user's.
  const std::u16string folder =
      tempFolder() + u"keltoDataSigned-" + ansiToWide(std::to_string(geteuid())) + u"/";
  createDirectory(folder);
  return isPrivateDirectory(folder) ? folder : std::u16string();
}

char16_t pathSeparator() { return u'/'; }

bool createDirectory(const std::u16string& path) {
  NativePath native(path);
  return native.get() && mkdir(native.get(), 0700) == 0;
}

std::u16string createUniqueDirectory(const std::u16string& parent,
                                     const std::u16string& prefix) {
  NativePath pattern(parent + prefix + u"XXXXXX");
  if (!pattern.get() || !mkdtemp(pattern.get())) return {};
  return ansiToWide(pattern.get()) + u"/";
}

bool removeDirectory(const std::u16string& path) {
  NativePath native(path);
  return native.get() && rmdir(native.get()) == 0;
}

bool fileExists(const std::u16string& path) {
  NativePath native(path);
  struct stat st;
  return native.get() && stat(native.get(), &st) == 0;
}

std::FILE* openRegularFile(const std::u16string& path) {
  NativePath native(path);
  if (!native.get()) return nullptr;
  // O_NONBLOCK keeps open() itself from waiting for a FIFO's writer; once the
  // descriptor is known to be a regular file the flag is dropped again.
  int fd = open(native.get(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
  NativePath native(path);
  if (!native.get()) return nullptr;
  int fd = open(native.get(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (!file) {
    // Nobody would know to delete the file made just now.
    unlink(native.get());
    close(fd);
  }
  return file;
}

std::int64_t fileSize(std::FILE* file) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool removeFile(const std::u16string& path) {
  NativePath native(path);
  return native.get() && unlink(native.get()) == 0;
}

bool isPrivateDirectory(const std::u16string& path) {
  NativePath entry(path);
  if (!entry.get()) return false;
  // A trailing "/" would make lstat follow a link: look at the entry itself.
  for (std::size_t n = entry.size(); n > 1 && entry.get()[n - 1] == '/'; --n)
    entry.get()[n - 1] = 0;
  struct stat st;
  if (lstat(entry.get(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
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
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

std::uint32_t processId() { return static_cast<std::uint32_t>(getpid()); }

std::uint64_t threadId() { return static_cast<std::uint64_t>(syscall(SYS_gettid)); }

LocalTime localTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return {tm.tm_year + 1900,
          tm.tm_mon + 1,
          tm.tm_mday,
          tm.tm_hour,
          tm.tm_min,
          tm.tm_sec,
          static_cast<int>(ts.tv_nsec / 1000000)};
}

std::u16string ansiToWide(const std::string& text) {
  std::string valid;
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid));
  std::u16string wide;
  utf8::unchecked::utf8to16(valid.begin(), valid.end(), std::back_inserter(wide));
  return wide;
}

std::string wideToAnsi(const std::u16string& text) {
  return wideToUtf8Lenient(text, U'?');
}

NamedLock::NamedLock(const std::u16string& name) : handle_(-1) {
  // In a shared folder anyone could create the file first and hold it.
  const std::u16string folder = privateFolder();
  if (folder.empty()) return;
  NativePath path(folder + name + u".lock");
  if (!path.get()) return;
  int fd = open(path.get(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
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
