#include "storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "scoped.h"

namespace softcsp::storage {
namespace {

// Key files are a few KiB; anything much larger is not ours.
constexpr off_t kMaxFileSize = 1 << 20;
constexpr size_t kMaxDirName = 255;

DWORD fromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS: return NTE_PERM;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOMEM: return NTE_NO_MEMORY;
    default: return NTE_FAIL;
  }
}

std::string homeDir() {
  if (const char* h = std::getenv("HOME"); h != nullptr && *h == '/') return h;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir)
    return pw->pw_dir;
  return "/";
}

std::string typeDir(DWORD type) { return root() + "/containers/" + std::to_string(type); }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string tempNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
}

// Writes a fresh 0600 temporary file beside `path`; returns its name.
DWORD writeTemp(const std::string& path, const std::string& data, std::string& temp) {
  const size_t slash = path.rfind('/');
  if (DWORD err = ensureDirectory(path.substr(0, slash))) return err;
  temp = tempNameFor(path);
  UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) return fromErrno(errno);
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      fd.reset();
      unlink(temp.c_str());
      return fromErrno(err);
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd.get()) != 0 || !fd.close()) {
    unlink(temp.c_str());
    return NTE_FAIL;
  }
  return 0;
}

DWORD removeTree(const std::string& dir) {
  {  // the stream is closed before the directory goes
    const DirPtr d(opendir(dir.c_str()));
    if (!d) return fromErrno(errno);
    while (dirent* e = readdir(d.get())) {
      const std::string n = e->d_name;
      if (n == "." || n == "..") continue;
      const std::string p = dir + "/" + n;
      if (isDirectory(p))
        removeTree(p);
      else
        unlink(p.c_str());
    }
  }
  return rmdir(dir.c_str()) == 0 ? 0 : fromErrno(errno);
}

}  // namespace

std::string root() {
  std::string base;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x != nullptr && *x == '/')
    base = x;
  else
    base = homeDir() + "/.local/share";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/keltoDataSigned/softcsp";
}

std::string escapeName(const std::string& utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        c == '_' || c == '-') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool unescapeName(const std::string& escaped, std::string& utf8) {
  utf8.clear();
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '%') {
      utf8 += escaped[i];
      continue;
    }
    if (i + 2 >= escaped.size()) return false;
    const int hi = hexValue(escaped[i + 1]);
    const int lo = hexValue(escaped[i + 2]);
    if (hi < 0 || lo < 0) return false;
    utf8 += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  // Only names that escapeName could have produced count as containers.
  return !utf8.empty() && escapeName(utf8) == escaped;
}

bool validContainerName(const std::string& utf8) {
  return !utf8.empty() && escapeName(utf8).size() <= kMaxDirName;
}

std::string containerDir(DWORD type, const std::string& name) {
  return typeDir(type) + "/" + escapeName(name);
}

std::string keyFile(DWORD type, const std::string& name, DWORD keySpec) {
  return containerDir(type, name) +
         (keySpec == AT_SIGNATURE ? "/signature.p12" : "/exchange.p12");
}

std::string storeDir(const std::string& storeName) {
  return root() + "/stores/" + escapeName(storeName);
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

DWORD ensureDirectory(const std::string& path) {
  if (isDirectory(path)) return 0;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0)
    if (DWORD err = ensureDirectory(path.substr(0, slash))) return err;
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return fromErrno(errno);
  return 0;
}

std::vector<std::string> listContainers(DWORD type) {
  std::vector<std::string> names;
  const std::string dir = typeDir(type);
  const DirPtr d(opendir(dir.c_str()));
  if (!d) return names;
  while (dirent* e = readdir(d.get())) {
    std::string name;
    if (e->d_name[0] == '.' || !unescapeName(e->d_name, name)) continue;
    if (isDirectory(dir + "/" + e->d_name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

DWORD createContainer(DWORD type, const std::string& name) {
  if (!validContainerName(name)) return NTE_BAD_KEYSET_PARAM;
  if (DWORD err = ensureDirectory(typeDir(type))) return err;
  if (mkdir(containerDir(type, name).c_str(), 0700) != 0)
    return errno == EEXIST ? NTE_EXISTS : fromErrno(errno);
  return 0;
}

DWORD removeContainer(DWORD type, const std::string& name) {
  const std::string dir = containerDir(type, name);
  if (!validContainerName(name) || !isDirectory(dir)) return NTE_BAD_KEYSET;
  std::string current;
  if (readDefault(type, current) == 0 && current == name)
    unlink((typeDir(type) + "/.default").c_str());
  return removeTree(dir);
}

DWORD readDefault(DWORD type, std::string& name) {
  std::string data;
  if (readFile(typeDir(type) + "/.default", data) != 0 || data.empty())
    return NTE_BAD_KEYSET;
  name = data;
  return 0;
}

DWORD writeDefault(DWORD type, const std::string& name) {
  return replaceFile(typeDir(type) + "/.default", name);
}

DWORD readFile(const std::string& path, std::string& data) {
  // O_NONBLOCK: a FIFO or device planted in the store must not keep open()
  // waiting; only a regular file is read, and it reads the same either way.
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return fromErrno(errno);
  struct stat st {};
  DWORD err = 0;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
    err = NTE_FAIL;
  } else {
    data.assign(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = read(fd.get(), data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      // A read error or a file shorter than it said is never taken as
      // its whole content.
      if (n <= 0) {
        err = n < 0 ? fromErrno(errno) : NTE_FAIL;
        break;
      }
      done += static_cast<size_t>(n);
    }
  }
  if (err != 0) data.clear();
  return err;
}

DWORD writeNewFile(const std::string& path, const std::string& data) {
  std::string temp;
  if (DWORD err = writeTemp(path, data, temp)) return err;
  // link() refuses an existing target, so two writers never overwrite.
  const int rc = link(temp.c_str(), path.c_str());
  const int err = errno;
  unlink(temp.c_str());
  if (rc != 0) return err == EEXIST ? NTE_EXISTS : fromErrno(err);
  return 0;
}

DWORD replaceFile(const std::string& path, const std::string& data) {
  std::string temp;
  if (DWORD err = writeTemp(path, data, temp)) return err;
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    unlink(temp.c_str());
    return fromErrno(err);
  }
  return 0;
}

std::vector<std::string> listEntries(const std::string& dir) {
  std::vector<std::string> names;
  const DirPtr d(opendir(dir.c_str()));
  if (!d) return names;
  while (dirent* e = readdir(d.get()))
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace softcsp::storage
