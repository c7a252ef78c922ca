// softcsp's readers of its on-disk files: the input becomes one file of a
// store that otherwise holds a sound RSA and GOST container, and the calls
// the host makes (and kelto-keytool's listings) read it. Whatever the bytes,
// nothing may crash, leak or read out of bounds.
//
// Input: the first byte chooses the file, the rest is its content:
//   0 the RSA container's signature.p12   1 the GOST container's signature.p12
//   2 a certificate of "MY" (named by its SHA-1, as softcsp names them)
//   3 the RSA type's default-container file
// Container files of the seed corpus are protected by the PIN "1234".
#include <softcsp/keystore.h>
#include <softcsp/wincrypt.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "certfiles.h"
#include "sandbox.h"

namespace ks = softcsp::keystore;

namespace {

constexpr DWORD kRsa = 1;
constexpr DWORD kGost = 80;
const char kPin[] = "1234";
bool g_gost = false;
volatile unsigned g_sink = 0;  // keeps the reads of touch() from being optimised away

std::string storePath(const std::string& rest) {
  return kelto_fuzz::sandboxRoot() + "/data/keltoDataSigned/softcsp/" + rest;
}

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Reads every byte a certificate context points to, so that a dangling or
// short pointer shows.
void touch(PCCERT_CONTEXT ctx) {
  unsigned sum = 0;
  const auto add = [&sum](const BYTE* p, DWORD n) {
    while (n > 0) sum += p[--n];
  };
  const CERT_INFO& i = *ctx->pCertInfo;
  const CERT_PUBLIC_KEY_INFO& pk = i.SubjectPublicKeyInfo;
  add(ctx->pbCertEncoded, ctx->cbCertEncoded);
  add(pk.PublicKey.pbData, pk.PublicKey.cbData);
  for (const auto* b : {&i.SerialNumber, &i.Issuer, &i.Subject, &pk.Algorithm.Parameters})
    add(b->pbData, b->cbData);
  for (DWORD e = 0; e < i.cExtension; ++e)
    add(i.rgExtension[e].Value.pbData, i.rgExtension[e].Value.cbData);
  for (const char* c = pk.Algorithm.pszObjId; *c; ++c) sum += *c;
  g_sink = g_sink + sum;
}

// A variable-length output, into a buffer of exactly the size asked for.
template <class F>
std::vector<BYTE> sized(F&& call) {
  DWORD size = 0;
  std::vector<BYTE> out;
  if (call(nullptr, &size)) out.resize(size);
  if (out.empty() || !call(out.data(), &size)) return {};
  return out;
}

// What the host does with a container: certificate, public key, signature.
void useContainer(DWORD type) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, u"k", nullptr, type, CRYPT_SILENT)) return;
  CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0);
  HCRYPTKEY key = 0;
  if (CryptGetUserKey(prov, AT_SIGNATURE, &key)) {
    const std::vector<BYTE> der = sized([&](BYTE* out, DWORD* size) {
      return CryptGetKeyParam(key, KP_CERTIFICATE, out, size, 0);
    });
    PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                      static_cast<DWORD>(der.size()));
    if (ctx != nullptr) touch(ctx);
    CertFreeCertificateContext(ctx);
    CryptDestroyKey(key);
  }
  sized([&](BYTE* out, DWORD* size) {
    return CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING,
                                    reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(out), size);
  });
  HCRYPTHASH hash = 0;
  if (CryptCreateHash(prov, type == kRsa ? CALG_SHA1 : CALG_GR3411_2012_256, 0, 0,
                      &hash)) {
    CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0);
    sized([&](BYTE* out, DWORD* size) {
      return CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, out, size);
    });
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(prov, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kelto_fuzz::enterSandbox("kelto-fuzz-keystore", argc, argv);
  ks::CertRequest req;
  std::string der;
  const ks::Status rsa = ks::generate(kRsa, "k", AT_SIGNATURE, kPin, req, der);
  if (!rsa.ok()) kelto_fuzz::fail(rsa.message.c_str());
  g_gost = ks::generate(kGost, "k", AT_SIGNATURE, kPin, req, der).ok();
  ks::StoreEntry added;
  ks::storeAdd("MY", der, added);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const DWORD type = data[0] % 4 == 1 && g_gost ? kGost : kRsa;
  if (data[0] % 4 < 2) {
    const std::string path =
        storePath("containers/" + std::to_string(type) + "/k/signature.p12");
    std::ifstream in(path, std::ios::binary);
    const std::string sound{std::istreambuf_iterator<char>(in), {}};
    put(path, bytes);
    useContainer(type);
    std::vector<ks::ContainerEntry> entries;
    ks::listContainers(type, entries);
    std::string cert;
    ks::exportCertificate(type, "k", AT_SIGNATURE, cert);
    put(path, sound);
  } else if (data[0] % 4 == 2) {
    // Named by its SHA-1, the input can only be the sound certificate
    // itself when it has that one's name: then it stays.
    const std::string path =
        storePath("stores/MY/" + softcsp::certfiles::fileName(bytes));
    const bool planted = access(path.c_str(), F_OK) != 0;
    put(path, bytes);
    HCERTSTORE store = CertOpenSystemStoreW(0, u"MY");
    if (store == nullptr) kelto_fuzz::fail("the store does not open");
    for (PCCERT_CONTEXT ctx = nullptr;
         (ctx = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY,
                                           nullptr, ctx)) != nullptr;)
      touch(ctx);
    CertCloseStore(store, 0);
    std::vector<ks::StoreEntry> entries;
    ks::storeList("MY", entries);
    if (planted) ::remove(path.c_str());
  } else {
    const std::string path = storePath("containers/1/.default");
    put(path, bytes);
    HCRYPTPROV prov = 0;
    if (CryptAcquireContextW(&prov, nullptr, nullptr, kRsa, CRYPT_SILENT))
      CryptReleaseContext(prov, 0);
    ::remove(path.c_str());
  }
  return 0;
}
