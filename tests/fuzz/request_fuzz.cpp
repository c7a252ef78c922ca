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

using kelto_fuzz::require;

namespace {

int g_replies = -1;  // the reply channel: a file read back after each input

std::string frame(const std::string& body) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>(body.size() >> (8 * i));
  return out + body;
}

// Serves `input` as standard input; checks every reply frame and returns the
// handles that replies report.
std::set<double> serve(const std::string& input) {
  if (!input.empty()) {
    std::FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "rb");
    require(in != nullptr, "fmemopen");
    kelto::serveRequests(in);
    std::fclose(in);
  }
  std::string out;
  char buf[65536];
  lseek(g_replies, 0, SEEK_SET);
  for (ssize_t n; (n = read(g_replies, buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<std::size_t>(n));
  require(ftruncate(g_replies, 0) == 0 && lseek(g_replies, 0, SEEK_SET) == 0,
          "reply file");
  std::set<double> handles;
  for (std::size_t pos = 0; pos < out.size();) {
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
    const kelto::JsonValue* data =
        reply && reply->isObject() ? reply->member(u"data") : nullptr;
    require(data && data->isObject(), "reply is no JSON object with a data object");
    const kelto::JsonValue* handle = data->member(u"handleProvider");
    if (handle && handle->isNumber()) handles.insert(handle->asNumber());
  }
  return handles;
}

// A data file as the host stages it: KeltoDataSigned_XXXXXXX.bin.
int countStaged(const char* path, const struct stat*, int kind, struct FTW* at) {
  const std::string name = path + at->base;
  return kind == FTW_F && name.size() == 27 && name.rfind("KeltoDataSigned_", 0) == 0 &&
         name.compare(23, 4, ".bin") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  const std::string& root = kelto_fuzz::enterSandbox("kelto-fuzz-request", argc, argv);
  for (const auto& [type, name] : {std::pair{1, "rsa"}, std::pair{80, "gost"}}) {
    std::string der;
    const auto made =
        softcsp::keystore::generate(type, name, AT_SIGNATURE, "1234", {}, der);
    softcsp::keystore::StoreEntry added;
    if (made.ok())
      softcsp::keystore::storeAdd("MY", der, added);
    else
      std::fprintf(stderr, "no %s container: %s\n", name, made.message.c_str());
  }
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
  const std::set<double> handles =
      serve(std::string(reinterpret_cast<const char*>(data), size));
  require(nftw(kelto_fuzz::sandboxRoot().c_str(), countStaged, 16, FTW_PHYS) == 0,
          "a staged data file was left behind");
  std::string closing;
  for (double handle : handles) {
    char body[128];
    std::snprintf(body, sizeof body,
                  "{\"data\":{\"requestAction\":\"closeCryptoProvider\","
                  "\"handleProvider\":%.17g}}",
                  handle);
    closing += frame(body);
  }
  serve(closing);
  return 0;
}
