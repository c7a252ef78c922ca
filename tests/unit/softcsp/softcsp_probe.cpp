// softcsp_probe: drives softcsp through the CryptoAPI calls the host makes,
// in the same order, so that end-to-end tests can check the results with the
// openssl command line. Exit 0 on success; 1 and "<call>: 0x<code>" on error.
//
//   softcsp_probe list     PROVIDER TYPE
//   softcsp_probe cert     PROVIDER TYPE CONTAINER PIN SOURCE OUT
//   softcsp_probe sign-raw PROVIDER TYPE CONTAINER PIN ALGID IN OUT
//   softcsp_probe sign-cms PROVIDER TYPE CONTAINER PIN OID SOURCE IN OUT
// CONTAINER, PIN and OID may be "-" for none; SOURCE is "container" or
// "storage"; ALGID is a number (0x... allowed).
#include <softcsp/wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Failed {
  std::string call;
  DWORD code;
};

void check(BOOL ok, const char *call) {
  if (!ok) throw Failed{call, GetLastError()};
}

std::u16string wide(const std::string &s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    char32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0) { cp = c & 0x07; n = 4; }
    else if (c >= 0xE0) { cp = c & 0x0F; n = 3; }
    else if (c >= 0xC0) { cp = c & 0x1F; n = 2; }
    for (size_t k = 1; k < n && i + k < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failed{"open " + path, 0};
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::string &path, const std::vector<BYTE> &data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

HCRYPTPROV open(const std::string &provider, DWORD type, const std::string &container,
                const std::string &pin) {
  const std::u16string name = wide(provider);
  const std::u16string cont = wide(container);
  HCRYPTPROV h = 0;
  check(CryptAcquireContextW(&h, container == "-" ? nullptr : cont.c_str(), name.c_str(),
                             type, pin == "-" ? 0 : CRYPT_SILENT),
        "CryptAcquireContext");
  if (pin == "-") return h;
  const auto *p = reinterpret_cast<const BYTE *>(pin.c_str());
  if (!CryptSetProvParam(h, PP_SIGNATURE_PIN, p, 0)) {
    if (!CryptSetProvParam(h, PP_KEYEXCHANGE_PIN, p, 0)) {
      const DWORD err = GetLastError();
      CryptReleaseContext(h, 0);
      throw Failed{"CryptSetProvParam", err};
    }
  }
  return h;
}

std::vector<BYTE> certFromContainer(HCRYPTPROV h, DWORD &spec) {
  HCRYPTKEY key = 0;
  spec = AT_SIGNATURE;
  if (!CryptGetUserKey(h, spec, &key)) {
    spec = AT_KEYEXCHANGE;
    check(CryptGetUserKey(h, spec, &key), "CryptGetUserKey");
  }
  DWORD size = 0;
  check(CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0), "CryptGetKeyParam(size)");
  std::vector<BYTE> der(size);
  check(CryptGetKeyParam(key, KP_CERTIFICATE, der.data(), &size, 0), "CryptGetKeyParam");
  CryptDestroyKey(key);
  return der;
}

std::vector<BYTE> certFromStorage(HCRYPTPROV h, DWORD &spec) {
  const DWORD enc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  DWORD size = 0;
  spec = AT_SIGNATURE;
  if (!CryptExportPublicKeyInfo(h, spec, enc, nullptr, &size)) {
    spec = AT_KEYEXCHANGE;
    check(CryptExportPublicKeyInfo(h, spec, enc, nullptr, &size), "CryptExportPublicKeyInfo(size)");
  }
  std::vector<BYTE> info(size);
  auto *pk = reinterpret_cast<CERT_PUBLIC_KEY_INFO *>(info.data());
  check(CryptExportPublicKeyInfo(h, spec, enc, pk, &size), "CryptExportPublicKeyInfo");
  HCERTSTORE store = CertOpenSystemStoreW(0, u"MY");
  check(store != nullptr, "CertOpenSystemStore");
  PCCERT_CONTEXT ctx = CertFindCertificateInStore(store, enc, 0, CERT_FIND_PUBLIC_KEY, pk, nullptr);
  if (ctx == nullptr) {
    const DWORD err = GetLastError();
    CertCloseStore(store, 0);
    throw Failed{"CertFindCertificateInStore", err};
  }
  std::vector<BYTE> der(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
  CertFreeCertificateContext(ctx);
  CertCloseStore(store, 0);
  return der;
}

std::vector<BYTE> certificate(HCRYPTPROV h, const std::string &source, DWORD &spec) {
  return source == "storage" ? certFromStorage(h, spec) : certFromContainer(h, spec);
}

std::vector<BYTE> signRaw(HCRYPTPROV h, ALG_ID alg, const std::string &path) {
  HCRYPTHASH hash = 0;
  check(CryptCreateHash(h, alg, 0, 0, &hash), "CryptCreateHash");
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw Failed{"open " + path, 0};
  BYTE buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
    check(CryptHashData(hash, buf, static_cast<DWORD>(n), 0), "CryptHashData");
  std::fclose(f);
  DWORD spec = AT_SIGNATURE;
  DWORD size = 0;
  if (!CryptSignHashW(hash, spec, nullptr, 0, nullptr, &size)) {
    spec = AT_KEYEXCHANGE;
    check(CryptSignHashW(hash, spec, nullptr, 0, nullptr, &size), "CryptSignHash(size)");
  }
  std::vector<BYTE> sig(size);
  check(CryptSignHashW(hash, spec, nullptr, 0, sig.data(), &size), "CryptSignHash");
  sig.resize(size);
  std::reverse(sig.begin(), sig.end());
  CryptDestroyHash(hash);
  return sig;
}

std::vector<BYTE> signCms(HCRYPTPROV h, const std::string &oid, const std::string &source,
                          const std::string &path) {
  DWORD spec = 0;
  const std::vector<BYTE> der = certificate(h, source, spec);
  const DWORD enc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(enc, der.data(), static_cast<DWORD>(der.size()));
  check(ctx != nullptr, "CertCreateCertificateContext");
  CERT_KEY_CONTEXT kc{};
  kc.cbSize = sizeof kc;
  kc.hCryptProv = h;
  kc.dwKeySpec = spec;
  check(CertSetCertificateContextProperty(ctx, CERT_KEY_CONTEXT_PROP_ID,
                                          CERT_STORE_NO_CRYPT_RELEASE_FLAG, &kc),
        "CertSetCertificateContextProperty");
  SYSTEMTIME st;
  GetSystemTime(&st);
  FILETIME ft;
  check(SystemTimeToFileTime(&st, &ft), "SystemTimeToFileTime");
  DWORD timeSize = 0;
  check(CryptEncodeObject(enc, szOID_RSA_signingTime, &ft, nullptr, &timeSize), "CryptEncodeObject(size)");
  std::vector<BYTE> time(timeSize);
  check(CryptEncodeObject(enc, szOID_RSA_signingTime, &ft, time.data(), &timeSize), "CryptEncodeObject");
  CRYPT_ATTR_BLOB value{timeSize, time.data()};
  CRYPT_ATTRIBUTE attr{const_cast<char *>(szOID_RSA_signingTime), 1, &value};
  const std::string content = readAll(path);
  std::string hashOid = oid != "-" ? oid : ctx->pCertInfo->SignatureAlgorithm.pszObjId;
  CRYPT_SIGN_MESSAGE_PARA para{};
  para.cbSize = sizeof para;
  para.dwMsgEncodingType = enc;
  para.pSigningCert = ctx;
  para.HashAlgorithm.pszObjId = hashOid.data();
  para.cMsgCert = 1;
  para.rgpMsgCert = &ctx;
  para.cAuthAttr = 1;
  para.rgAuthAttr = &attr;
  const BYTE *pieces[] = {reinterpret_cast<const BYTE *>(content.data())};
  DWORD sizes[] = {static_cast<DWORD>(content.size())};
  DWORD size = 0;
  check(CryptSignMessage(&para, TRUE, 1, pieces, sizes, nullptr, &size), "CryptSignMessage(size)");
  std::vector<BYTE> msg(size);
  check(CryptSignMessage(&para, TRUE, 1, pieces, sizes, msg.data(), &size), "CryptSignMessage");
  msg.resize(size);
  CertFreeCertificateContext(ctx);
  return msg;
}

void list(const std::string &provider, DWORD type) {
  const std::u16string name = wide(provider);
  HCRYPTPROV h = 0;
  check(CryptAcquireContextW(&h, nullptr, name.c_str(), type, CRYPT_VERIFYCONTEXT),
        "CryptAcquireContext");
  DWORD size = 0;
  check(CryptGetProvParam(h, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST),
        "CryptGetProvParam(size)");
  std::vector<BYTE> buf(size);
  DWORD flags = CRYPT_FIRST;
  for (DWORD len = size; CryptGetProvParam(h, PP_ENUMCONTAINERS, buf.data(), &len, flags);
       len = size, flags = CRYPT_NEXT)
    std::printf("%s\n", reinterpret_cast<char *>(buf.data()));
  const DWORD end = GetLastError();
  CryptReleaseContext(h, 0);
  if (end != ERROR_NO_MORE_ITEMS) throw Failed{"CryptGetProvParam", end};
}

int run(const std::vector<std::string> &a) {
  if (a.size() < 3) throw Failed{"usage", ERROR_INVALID_PARAMETER};
  const DWORD type = static_cast<DWORD>(std::strtoul(a[2].c_str(), nullptr, 0));
  if (a[0] == "list") {
    list(a[1], type);
    return 0;
  }
  if (a.size() < 6) throw Failed{"usage", ERROR_INVALID_PARAMETER};
  const HCRYPTPROV h = open(a[1], type, a[3], a[4]);
  std::vector<BYTE> out;
  if (a[0] == "cert" && a.size() == 7) {
    DWORD spec = 0;
    out = certificate(h, a[5], spec);
  } else if (a[0] == "sign-raw" && a.size() == 8) {
    out = signRaw(h, static_cast<ALG_ID>(std::strtoul(a[5].c_str(), nullptr, 0)), a[6]);
  } else if (a[0] == "sign-cms" && a.size() == 9) {
    out = signCms(h, a[5], a[6], a[7]);
  } else {
    throw Failed{"usage", ERROR_INVALID_PARAMETER};
  }
  check(CryptReleaseContext(h, 0), "CryptReleaseContext");
  writeAll(a.back(), out);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const Failed &f) {
    std::fprintf(stderr, "%s: 0x%X\n", f.call.c_str(), f.code);
    return 1;
  }
}
