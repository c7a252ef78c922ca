#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <ntsecapi.h>

namespace kelto::platform {

namespace {

HANDLE g_replyHandle = INVALID_HANDLE_VALUE;

const wchar_t* wide(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}

// The wide calls read a path up to its first U+0000 (see platform.h).
bool unusable(const std::u16string& path) {
  return path.find(u'\0') != std::u16string::npos;
}

// "\\.\" and "\\?\" reach the device namespace: volumes and physical drives
// report themselves as disks, and pipes can make CreateFileW wait. Of the
// "\\?\" forms only long paths on a drive or a share name files.
bool namesDevice(const std::u16string& path) {
  auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
  if (path.size() < 4 || !separator(path[0]) || !separator(path[1]) ||
      !separator(path[3]))
    return false;
  if (path[2] == u'.') return true;
  if (path[2] != u'?') return false;
  const std::u16string rest = path.substr(4);
  const bool drive = rest.size() >= 3 &&
                     ((rest[0] | 0x20) >= u'a' && (rest[0] | 0x20) <= u'z') &&
                     rest[1] == u':' && separator(rest[2]);
  const bool share = rest.size() >= 4 && (rest[0] | 0x20) == u'u' &&
                     (rest[1] | 0x20) == u'n' && (rest[2] | 0x20) == u'c' &&
                     separator(rest[3]);
  return !drive && !share;
}

}  // namespace

void prepareStandardStreams() {
  // A missing standard handle reads as null and fails its writes; a reader
  // that has gone fails WriteFile. Only the byte mode needs setting.
  _setmode(_fileno(stdin), _O_BINARY);
}

ReplyChannelSetup takeReplyChannel() {
  g_replyHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (g_replyHandle == INVALID_HANDLE_VALUE) return ReplyChannelSetup::NoStdout;
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == INVALID_HANDLE_VALUE) return ReplyChannelSetup::NoStderr;
  if (!SetStdHandle(STD_OUTPUT_HANDLE, err)) return ReplyChannelSetup::RedirectFailed;
  return ReplyChannelSetup::Ok;
}

bool writeReply(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(g_replyHandle, p, chunk, &written, nullptr) || written == 0)
      return false;
    p += written;
    size -= written;
  }
  return true;
}

std::u16string tempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

std::u16string privateFolder() {
  // The temporary folder lies in the user's profile, which only that user
  // (and administrators) may write.
  return tempFolder();
}

char16_t pathSeparator() { return u'\\'; }

bool createDirectory(const std::u16string& path) {
  return !unusable(path) && CreateDirectoryW(wide(path), nullptr) != 0;
}

std::u16string createUniqueDirectory(const std::u16string& parent,
                                     const std::u16string& prefix) {
  // 128 random bits: a name nobody can foresee or has taken.
  unsigned char random[16];
  if (!RtlGenRandom(random, sizeof random)) return {};
  static const char16_t kDigits[] = u"0123456789abcdef";
  std::u16string path = parent + prefix;
  for (unsigned char byte : random) {
    path += kDigits[byte >> 4];
    path += kDigits[byte & 0xF];
  }
  return createDirectory(path) ? path + u'\\' : std::u16string();
}

bool removeDirectory(const std::u16string& path) {
  return !unusable(path) && RemoveDirectoryW(wide(path)) != 0;
}

bool fileExists(const std::u16string& path) {
  return !unusable(path) && GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES;
}

std::FILE* openRegularFile(const std::u16string& path) {
  if (unusable(path) || namesDevice(path)) return nullptr;
  HANDLE handle =
      CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // Consoles, pipes and NUL are character or pipe types; directories do not
  // open without backup semantics at all.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(handle);
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (!file) _close(fd);
  return file;
}

std::FILE* createNewFile(const std::u16string& path) {
  if (unusable(path)) return nullptr;
  HANDLE handle = CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  std::FILE* file = nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
  } else if (!(file = _fdopen(fd, "wb"))) {
    _close(fd);
  }
  // Nobody would know to delete a file made just now and not handed out.
  if (!file) DeleteFileW(wide(path));
  return file;
}

std::int64_t fileSize(std::FILE* file) {
  LARGE_INTEGER size;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &size)) return -1;
  return size.QuadPart;
}

bool removeFile(const std::u16string& path) {
  return !unusable(path) && DeleteFileW(wide(path)) != 0;
}

bool isPrivateDirectory(const std::u16string& path) {
  // The per-user temporary folder is private on Windows already; refuse only
  // a junction or link planted in its place.
  if (unusable(path)) return false;
  DWORD attributes = GetFileAttributesW(wide(path));
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool systemErrorText(std::uint32_t code, std::u16string& text) {
  wchar_t* buffer = nullptr;
  DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                     code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (!buffer) return false;
  text.assign(reinterpret_cast<const char16_t*>(buffer), length);
  LocalFree(buffer);
  return true;
}

void preferLargePages(void*, std::size_t) {
  // Large pages need a privilege that users do not have.
}

std::uint32_t processId() { return GetCurrentProcessId(); }

std::uint64_t threadId() { return GetCurrentThreadId(); }

LocalTime localTimeNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return {st.wYear,   st.wMonth,  st.wDay,         st.wHour,
          st.wMinute, st.wSecond, st.wMilliseconds};
}

std::u16string ansiToWide(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                              nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                      reinterpret_cast<wchar_t*>(&out[0]), n);
  return out;
}

std::string wideToAnsi(const std::u16string& text) {
  if (text.empty()) return {};
  const wchar_t* src = wide(text);
  int n = WideCharToMultiByte(CP_ACP, 0, src, static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, src, static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

NamedLock::NamedLock(const std::u16string& name) : handle_(0) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, wide(name));
  if (mutex == nullptr) return;
  // WAIT_ABANDONED hands the mutex over like a free one: its last owner died.
  WaitForSingleObject(mutex, INFINITE);
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
}

NamedLock::~NamedLock() {
  if (handle_ == 0) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

}  // namespace kelto::platform
