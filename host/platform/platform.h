// Operating-system services the host needs, one implementation per platform
// (posix.cpp, win32.cpp; CMake compiles exactly one). Nothing here includes a
// system header, so logic files stay free of platform details.
//
// Paths come from requests. A path the system cannot be given exactly (one
// that holds U+0000, where the system would stop reading it; on POSIX also a
// lone surrogate, which has no UTF-8 form) names nothing: every function here
// fails for it as for a path that does not exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kelto::platform {

// Call first, before anything opens a file. Standard input delivers the
// frames' bytes untranslated; a standard stream the process was started
// without is given the null device, so that no file opened later takes its
// place and receives what is meant for that stream; and a write to a reader
// that has gone fails instead of ending the process.
void prepareStandardStreams();

enum class ReplyChannelSetup { Ok, NoStdout, NoStderr, RedirectFailed };

// Keeps the process's standard output as the only reply channel and makes
// standard error the process's standard output, so that stray prints of any
// library can never corrupt a frame. Call once at start-up.
ReplyChannelSetup takeReplyChannel();

// Writes all of `size` bytes to the reply channel, retrying short writes.
// Returns false when the channel fails (browser gone); bytes may be lost then.
bool writeReply(const void* data, std::size_t size);

// The user's temporary folder with a trailing separator, or empty when the
// system cannot report one.
std::u16string tempFolder();

// A folder with a trailing separator in which only the current user can
// create entries, so that nobody else can take or hold a name there. On
// Windows the user's temporary folder. On POSIX $XDG_RUNTIME_DIR when it is
// set and a private directory (see isPrivateDirectory), else
// "keltoDataSigned-<uid>" in the temporary folder, created owner-only when
// missing. Empty when there is none: another user or a link holds that name.
std::u16string privateFolder();

// The separator the platform puts between path components.
char16_t pathSeparator();

// Creates one directory (owner-only where permissions exist). False when it
// could not be created, including when it already exists.
bool createDirectory(const std::u16string& path);

// Creates a new owner-only directory in `parent` (which ends in a separator)
// named `prefix` and an unpredictable suffix; returns its path with a trailing
// separator, or empty on failure.
std::u16string createUniqueDirectory(const std::u16string& parent,
                                     const std::u16string& prefix);

// Removes an empty directory; false when it could not be removed.
bool removeDirectory(const std::u16string& path);

// True when an entry of that name exists (file, directory or other).
bool fileExists(const std::u16string& path);

// Opens an existing regular file for binary reading; nullptr for anything
// else. Whatever the path names (a FIFO, a device, a socket, a directory), the
// open never blocks, and only a plain file on disk is read: a request must not
// be able to stall the host or make it sign a stream it cannot see the end of.
std::FILE* openRegularFile(const std::u16string& path);

// Creates a new file for binary writing, owner-only where permissions exist.
// Fails (nullptr) when any entry of that name exists: never opens, truncates
// or follows an existing one.
std::FILE* createNewFile(const std::u16string& path);

// Size in bytes of an open file, or -1 when the system cannot tell.
std::int64_t fileSize(std::FILE* file);

// Deletes a file; false when it could not be deleted.
bool removeFile(const std::u16string& path);

// True when the path is a real directory (not a link to one) that belongs to
// the current user and that nobody else may write in, so that nobody else can
// swap or read files inside it.
bool isPrivateDirectory(const std::u16string& path);

// The text the system has for an error code of CryptoAPI or the system, as
// the system gives it (line break included); false when it has none.
bool systemErrorText(std::uint32_t code, std::u16string& text);

// Hints that a large buffer about to be filled should be backed by large
// pages: touching tens of MiB page by page costs more than copying them.
void preferLargePages(void* buffer, std::size_t size);

std::uint32_t processId();
std::uint64_t threadId();

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};
LocalTime localTimeNow();

// The system ANSI code page: CP_ACP on Windows, UTF-8 on POSIX. Never fails
// visibly: undecodable bytes become U+FFFD, unencodable characters '?'.
std::u16string ansiToWide(const std::string& text);
std::string wideToAnsi(const std::u16string& text);

// A lock shared by every process of the user that names it, held from
// construction to destruction. A holder that dies releases it. No other user
// can create or hold it (on POSIX it is a file in privateFolder()). When the
// lock cannot be created the object holds nothing and the caller goes on
// unlocked.
class NamedLock {
 public:
  explicit NamedLock(const std::u16string& name);
  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

 private:
  std::intptr_t handle_;
};

}  // namespace kelto::platform
