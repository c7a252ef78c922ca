// Move-only owners of POSIX descriptors and directory streams: whatever path
// a function leaves by, an exception included, what it opened is closed.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <memory>

namespace softcsp {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now; false when the system reports an error, which for a file
  // just written can mean that its data did not reach the disk.
  bool close() { return ::close(release()) == 0; }

 private:
  int fd_ = -1;
};

struct DirClose {
  void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirClose>;

}  // namespace softcsp
