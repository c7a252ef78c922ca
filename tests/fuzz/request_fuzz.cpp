// The request path: raw standard-input bytes through the loop main runs
// (frames, UTF-8 conversion, parsing, dispatch, the actions), against a
// softcsp store made once per process with an RSA and a GOST container
// ("rsa", "gost", PIN "1234", certificates in "MY"), staging into the
// process's own temporary folder. Checked after every input: each reply is
// one whole frame of UTF-8 JSON holding an object, and no staged data file is
// left anywhere under the sandbox. Sessions an input leaves open are closed
// afterwards through the same loop, so that they do not pile up.
//
// The working directory is the sandbox: "data.bin" there is a file to sign
// and "tmp/" a directory to stage in.
#include <fcntl.h>
#include <ftw.h>
#include <softcsp/keystore.h>
#include <utf8.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "channel/loop.h"
#include "json/json.h"
#include "platform/platform.h"
#include "sandbox.h"
#include "text/textconv.h"

namespace ks = softcsp::keystore;
using kelto_fuzz::require;

namespace {

int g_replies = -1;  // the reply channel: a file read back after each input

void makeContainer(DWORD type, const char* name) {
  ks::CertRequest req;
  std::string der;
  const ks::Status made = ks::generate(type, name, AT_SIGNATURE, "1234", req, der);
  if (!made.ok()) {
    std::fprintf(stderr, "no %s container: %s\n", name, made.message.c_str());
    return;
  }
  ks::StoreEntry added;
  ks::storeAdd("MY", der, added);
}

std::string takeReplies() {
  std::string out;
  char buf[65536];
  lseek(g_replies, 0, SEEK_SET);
  for (ssize_t n; (n = read(g_replies, buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<std::size_t>(n));
  require(ftruncate(g_replies, 0) == 0, "reply file");
  lseek(g_replies, 0, SEEK_SET);
  return out;
}

void serve(const std::string& input) {
  if (input.empty()) return;
  std::FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "rb");
  require(in != nullptr, "fmemopen");
  kelto::serveRequests(in);
  std::fclose(in);
}

// Checks every reply frame; returns the handles that replies report.
std::set<double> checkReplies(const std::string& out) {
  std::set<double> handles;
  std::size_t pos = 0;
  while (pos < out.size()) {
    require(out.size() - pos >= 4, "partial length prefix");
    std::uint32_t length = 0;
    for (std::size_t i = 4; i-- > 0;)
      length = length << 8 | static_cast<unsigned char>(out[pos + i]);
    pos += 4;
    require(length > 0 && out.size() - pos >= length, "partial frame");
    const std::string_view body(out.data() + pos, length);
    pos += length;
    require(utf8::is_valid(body.begin(), body.end()), "reply is not UTF-8");
    const std::unique_ptr<kelto::JsonValue> reply =
        kelto::JsonValue::parse(kelto::utf8ToWide(body));
    require(reply && reply->isObject(), "reply is not a JSON object");
    const kelto::JsonValue* data = reply->member(u"data");
    require(data && data->isObject(), "reply has no data object");
    const kelto::JsonValue* handle = data->member(u"handleProvider");
    if (handle && handle->isNumber()) handles.insert(handle->asNumber());
  }
  return handles;
}

int countStaged(const char* path, const struct stat*, int kind, struct FTW* at) {
  static const char kPrefix[] = "KeltoDataSigned_";
  const char* name = path + at->base;
  return kind == FTW_F && std::strncmp(name, kPrefix, sizeof kPrefix - 1) == 0 &&
                 std::strlen(name) == sizeof kPrefix - 1 + 7 + 4 &&
                 std::strcmp(name + std::strlen(name) - 4, ".bin") == 0
             ? 1
             : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  const std::string& root = kelto_fuzz::enterSandbox("kelto-fuzz-request", argc, argv);
  makeContainer(1, "rsa");
  makeContainer(80, "gost");
  std::ofstream(root + "/data.bin", std::ios::binary) << "signed by the fuzzer";
  // The reply channel is what standard output is when the channel is taken:
  // make that a file, then take it as main does.
  g_replies =
      open((root + "/replies").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int stdoutCopy = dup(STDOUT_FILENO);
  require(g_replies >= 0 && stdoutCopy >= 0 && dup2(g_replies, STDOUT_FILENO) >= 0,
          "reply file");
  require(kelto::platform::takeReplyChannel() == kelto::platform::ReplyChannelSetup::Ok,
          "reply channel");
  dup2(stdoutCopy, STDOUT_FILENO);
  close(stdoutCopy);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  serve(std::string(reinterpret_cast<const char*>(data), size));
  const std::set<double> handles = checkReplies(takeReplies());
  require(nftw(kelto_fuzz::sandboxRoot().c_str(), countStaged, 16, FTW_PHYS) == 0,
          "a staged data file was left behind");
  if (handles.empty()) return 0;
  std::string closing;
  for (double handle : handles) {
    char body[128];
    const int n = std::snprintf(body, sizeof body,
                                "{\"data\":{\"requestAction\":\"closeCryptoProvider\","
                                "\"handleProvider\":%.17g}}",
                                handle);
    const auto length = static_cast<std::uint32_t>(n);
    for (int i = 0; i < 4; ++i) closing += static_cast<char>(length >> (8 * i));
    closing.append(body, static_cast<std::size_t>(n));
  }
  serve(closing);
  checkReplies(takeReplies());
  return 0;
}
