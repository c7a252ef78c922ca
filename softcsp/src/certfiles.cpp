#include "certfiles.h"

#include <openssl/err.h>
#include <openssl/sha.h>

#include "ossl.h"
#include "storage.h"

namespace softcsp::certfiles {
namespace {

constexpr char kSuffix[] = ".cer";
constexpr size_t kSuffixLen = sizeof kSuffix - 1;

bool isCertificate(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  const auto* end = p + der.size();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  ERR_clear_error();
  return cert && p == end;
}

}  // namespace

std::string thumbprint(const std::string& der) {
  unsigned char sha[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), sha);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : sha) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string fileName(const std::string& der) { return thumbprint(der) + kSuffix; }

std::vector<Entry> read(const std::string& storeName) {
  ensureOpenSsl();
  std::vector<Entry> out;
  const std::string dir = storage::storeDir(storeName);
  for (const std::string& file : storage::listEntries(dir)) {
    if (file.size() <= kSuffixLen ||
        file.compare(file.size() - kSuffixLen, kSuffixLen, kSuffix) != 0)
      continue;
    Entry e{file, {}, {}};
    if (storage::readFile(dir + "/" + file, e.der) != 0)
      e.damage = "cannot be read as a file";
    else if (!isCertificate(e.der))
      e.damage = "is not a certificate";
    else if (fileName(e.der) != file)
      e.damage = "does not hold the certificate its name says";
    if (!e.damage.empty()) e.der.clear();
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace softcsp::certfiles
