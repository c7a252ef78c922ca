#include "childproc.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace softcsp {
namespace {

// How long a program that got end of input may take to leave by itself.
constexpr auto kGrace = std::chrono::seconds(1);

std::string errnoText(int err) { return std::generic_category().message(err); }

// posix_spawn's settings for the program: the socket as standard input and
// output, /dev/null as standard error, nothing else open, its own session,
// no blocked signals, and the signals a caller ignores or handles (the host
// ignores SIGPIPE) back to their defaults.
class SpawnSettings {
 public:
  explicit SpawnSettings(int socket) {
    if (posix_spawn_file_actions_init(&actions_) != 0) return;
    if (posix_spawnattr_init(&attributes_) != 0) {
      posix_spawn_file_actions_destroy(&actions_);
      return;
    }
    initialised_ = true;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD})
      sigaddset(&defaults, sig);
    ready_ =
        posix_spawn_file_actions_adddup2(&actions_, socket, STDIN_FILENO) == 0 &&
        posix_spawn_file_actions_adddup2(&actions_, socket, STDOUT_FILENO) == 0 &&
        posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY,
                                         0) == 0 &&
        posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0 &&
        posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
        posix_spawnattr_setsigdefault(&attributes_, &defaults) == 0 &&
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSID |
                                                   POSIX_SPAWN_SETSIGMASK |
                                                   POSIX_SPAWN_SETSIGDEF) == 0;
  }
  ~SpawnSettings() {
    if (!initialised_) return;
    posix_spawnattr_destroy(&attributes_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  bool ready() const { return ready_; }
  // 0, or the error of posix_spawnp.
  int spawn(const std::string& program, pid_t& pid) {
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    return posix_spawnp(&pid, program.c_str(), &actions_, &attributes_, argv, environ);
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
  bool initialised_ = false;
  bool ready_ = false;
};

}  // namespace

ChildProcess::~ChildProcess() {
  stop();
  OPENSSL_cleanse(buffer_, sizeof buffer_);
}

bool ChildProcess::start(const std::string& program, std::string& why) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    why = "no socket to speak to it: " + errnoText(errno);
    return false;
  }
  UniqueFd ours(ends[0]);
  const UniqueFd theirs(ends[1]);

  SpawnSettings settings(theirs.get());
  if (!settings.ready()) {
    why = "cannot prepare to start it";
    return false;
  }
  pid_t pid = -1;
  if (const int err = settings.spawn(program, pid)) {
    why = "cannot start it: " + errnoText(err);
    return false;
  }
  pid_ = pid;
  fd_ = std::move(ours);
  filled_ = 0;
  return true;
}

bool ChildProcess::send(const std::string& data) {
  size_t done = 0;
  while (fd_ && done < data.size()) {
    const ssize_t n =
        ::send(fd_.get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return done == data.size();
}

void ChildProcess::consume(size_t count) {
  std::memmove(buffer_, buffer_ + count, filled_ - count);
  OPENSSL_cleanse(buffer_ + filled_ - count, count);
  filled_ -= count;
}

ChildProcess::Read ChildProcess::readLine(std::string& line, Clock::time_point deadline) {
  line.clear();
  for (;;) {
    if (const void* end = std::memchr(buffer_, '\n', filled_)) {
      const size_t length = static_cast<size_t>(static_cast<const char*>(end) - buffer_);
      if (length >= kMaxLine) return Read::TooLong;
      line.assign(buffer_,
                  length > 0 && buffer_[length - 1] == '\r' ? length - 1 : length);
      consume(length + 1);
      return Read::Line;
    }
    if (filled_ >= kMaxLine) return Read::TooLong;
    if (!fd_) return Read::Closed;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
            .count();
    if (left <= 0) return Read::TimedOut;
    pollfd p{fd_.get(), POLLIN, 0};
    const int ready =
        poll(&p, 1, static_cast<int>(std::min<long long>(left + 1, INT_MAX)));
    if (ready < 0 && errno != EINTR) return Read::Failed;
    if (ready <= 0) continue;
    const ssize_t n = recv(fd_.get(), buffer_ + filled_, sizeof buffer_ - filled_, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return Read::Failed;
    if (n == 0) return Read::Closed;
    filled_ += static_cast<size_t>(n);
  }
}

void ChildProcess::stop(bool wait) {
  fd_.reset();  // end of input: a well-behaved program leaves now
  OPENSSL_cleanse(buffer_, filled_);
  filled_ = 0;
  if (pid_ <= 0) return;
  const auto until = Clock::now() + (wait ? kGrace : Clock::duration::zero());
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    // Gone, or reaped by someone else (SIGCHLD ignored): nothing is left.
    if (r == pid_ || (r < 0 && errno != EINTR)) {
      pid_ = -1;
      return;
    }
    if (Clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Its own session made it a process group: helpers it started go too.
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace softcsp
