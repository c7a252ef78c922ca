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

std::string typeDir(DWORD type) {
  return kelto_fuzz::sandboxRoot() + "/data/keltoDataSigned/softcsp/containers/" +
         std::to_string(type);
}

std::string storeDir() {
  return kelto_fuzz::sandboxRoot() + "/data/keltoDataSigned/softcsp/stores/MY";
}

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Touches every byte a certificate context points to, so that a dangling or
// short pointer shows.
unsigned touch(PCCERT_CONTEXT ctx) {
  unsigned sum = 0;
  const auto add = [&sum](const BYTE* p, DWORD n) {
    for (DWORD i = 0; i < n; ++i) sum += p[i];
  };
  add(ctx->pbCertEncoded, ctx->cbCertEncoded);
  const CERT_INFO* info = ctx->pCertInfo;
  add(info->SerialNumber.pbData, info->SerialNumber.cbData);
  add(info->Issuer.pbData, info->Issuer.cbData);
  add(info->Subject.pbData, info->Subject.cbData);
  add(info->SubjectPublicKeyInfo.PublicKey.pbData,
      info->SubjectPublicKeyInfo.PublicKey.cbData);
  add(info->SubjectPublicKeyInfo.Algorithm.Parameters.pbData,
      info->SubjectPublicKeyInfo.Algorithm.Parameters.cbData);
  for (const char* c = info->SubjectPublicKeyInfo.Algorithm.pszObjId; *c; ++c) sum += *c;
  for (DWORD i = 0; i < info->cExtension; ++i)
    add(info->rgExtension[i].Value.pbData, info->rgExtension[i].Value.cbData);
  return sum;
}

// What the host does with a container: certificate, public key, signature.
void useContainer(const char16_t* provider, DWORD type) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, u"k", provider, type, CRYPT_SILENT)) return;
  CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0);
  HCRYPTKEY key = 0;
  if (CryptGetUserKey(prov, AT_SIGNATURE, &key)) {
    DWORD size = 0;
    if (CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0)) {
      std::vector<BYTE> der(size);
      if (CryptGetKeyParam(key, KP_CERTIFICATE, der.data(), &size, 0)) {
        PCCERT_CONTEXT ctx =
            CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
        if (ctx != nullptr) {
          touch(ctx);
          CertFreeCertificateContext(ctx);
        }
      }
    }
    DWORD bits = 0;
    size = sizeof bits;
    CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0);
    CryptDestroyKey(key);
  }
  DWORD infoSize = 0;
  if (CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING, nullptr,
                               &infoSize)) {
    std::vector<std::uint64_t> info((infoSize + 7) / 8);
    CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING,
                             reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()),
                             &infoSize);
  }
  HCRYPTHASH hash = 0;
  if (CryptCreateHash(prov, type == kRsa ? CALG_SHA1 : CALG_GR3411_2012_256, 0, 0,
                      &hash)) {
    CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0);
    DWORD len = 0;
    if (CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &len)) {
      std::vector<BYTE> sig(len);
      CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &len);
    }
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(prov, 0);
}

void useStore() {
  HCERTSTORE store = CertOpenSystemStoreW(0, u"MY");
  if (store == nullptr) kelto_fuzz::fail("the store does not open");
  PCCERT_CONTEXT ctx = nullptr;
  while ((ctx = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY,
                                           nullptr, ctx)) != nullptr)
    touch(ctx);
  CertCloseStore(store, 0);
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
  switch (data[0] % 4) {
    case 0:
    case 1: {
      const DWORD type = data[0] % 4 == 0 || !g_gost ? kRsa : kGost;
      const std::string path = typeDir(type) + "/k/signature.p12";
      std::ifstream in(path, std::ios::binary);
      const std::string sound{std::istreambuf_iterator<char>(in), {}};
      put(path, bytes);
      useContainer(type == kRsa
                       ? u"Microsoft Strong Cryptographic Provider"
                       : u"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
                   type);
      std::vector<ks::ContainerEntry> entries;
      ks::listContainers(type, entries);
      std::string cert;
      ks::exportCertificate(type, "k", AT_SIGNATURE, cert);
      put(path, sound);
      break;
    }
    case 2: {
      // Named by its SHA-1, the input can only be the sound certificate
      // itself when it has that one's name: then it stays.
      const std::string path = storeDir() + "/" + softcsp::certfiles::fileName(bytes);
      const bool planted = access(path.c_str(), F_OK) != 0;
      put(path, bytes);
      useStore();
      std::vector<ks::StoreEntry> entries;
      ks::storeList("MY", entries);
      if (planted) ::remove(path.c_str());
      break;
    }
    case 3: {
      const std::string path = typeDir(kRsa) + "/.default";
      put(path, bytes);
      HCRYPTPROV prov = 0;
      if (CryptAcquireContextW(&prov, nullptr, u"Microsoft Strong Cryptographic Provider",
                               kRsa, CRYPT_SILENT))
        CryptReleaseContext(prov, 0);
      ::remove(path.c_str());
      break;
    }
  }
  return 0;
}
