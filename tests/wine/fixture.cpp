// Prepares the current Wine prefix for the end-to-end suites, and answers
// what the system says about error codes, so that the suites learn Wine's
// message texts from the system itself rather than from copies of them.
//
//   kelto_wine_fixture keys SIGNATURE_DER EXCHANGE_DER
//     (Re)creates three containers in the Microsoft Strong provider:
//     "kelto-sig" with a signature key, "kelto-exch" with only an exchange
//     key and "kelto-empty" with no key. Each key gets a self-signed
//     certificate that is added to the current user's "MY" store and written
//     as DER to the given file.
//   kelto_wine_fixture message CODE...
//     For each hexadecimal code one line: the code, a blank, and the hex of
//     the UTF-8 bytes of FormatMessageW's text for it ("-" when it has none).
//
// Exit code 0 on success; otherwise a message on standard error and 1.
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const wchar_t kProvider[] = L"Microsoft Strong Cryptographic Provider";

bool fail(const char* what) {
  std::fprintf(stderr, "kelto_wine_fixture: %s failed: 0x%lX\n", what, GetLastError());
  return false;
}

bool writeFile(const wchar_t* path, const BYTE* data, DWORD size) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail("CreateFileW");
  DWORD written = 0;
  const bool ok = WriteFile(file, data, size, &written, nullptr) && written == size;
  CloseHandle(file);
  return ok || fail("WriteFile");
}

// A fresh container, so that a second run in the same prefix starts over.
bool newContainer(const wchar_t* name, HCRYPTPROV& provider) {
  CryptAcquireContextW(&provider, name, kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  return CryptAcquireContextW(&provider, name, kProvider, PROV_RSA_FULL,
                              CRYPT_NEWKEYSET) ||
         fail("CryptAcquireContextW(CRYPT_NEWKEYSET)");
}

bool makeKey(const wchar_t* container, DWORD keySpec, const wchar_t* subject,
             const wchar_t* derPath) {
  HCRYPTPROV provider = 0;
  if (!newContainer(container, provider)) return false;
  HCRYPTKEY key = 0;
  bool ok = CryptGenKey(provider, keySpec, (2048u << 16) | CRYPT_EXPORTABLE, &key) ||
            fail("CryptGenKey");
  if (key) CryptDestroyKey(key);

  BYTE name[256];
  DWORD nameSize = sizeof name;
  ok = ok && (CertStrToNameW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr,
                             name, &nameSize, nullptr) ||
              fail("CertStrToNameW"));
  CERT_NAME_BLOB subjectBlob = {nameSize, name};
  CRYPT_KEY_PROV_INFO keyInfo = {};
  keyInfo.pwszContainerName = const_cast<wchar_t*>(container);
  keyInfo.pwszProvName = const_cast<wchar_t*>(kProvider);
  keyInfo.dwProvType = PROV_RSA_FULL;
  keyInfo.dwKeySpec = keySpec;
  PCCERT_CONTEXT cert =
      ok ? CertCreateSelfSignCertificate(provider, &subjectBlob, 0, &keyInfo, nullptr,
                                         nullptr, nullptr, nullptr)
         : nullptr;
  ok = ok && (cert || fail("CertCreateSelfSignCertificate"));

  HCERTSTORE store = ok ? CertOpenSystemStoreW(0, L"MY") : nullptr;
  ok = ok && (store || fail("CertOpenSystemStoreW"));
  ok = ok && (CertAddCertificateContextToStore(
                  store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) ||
              fail("CertAddCertificateContextToStore"));
  ok = ok && writeFile(derPath, cert->pbCertEncoded, cert->cbCertEncoded);
  if (store) CertCloseStore(store, 0);
  if (cert) CertFreeCertificateContext(cert);
  CryptReleaseContext(provider, 0);
  return ok;
}

int keys(const wchar_t* signatureDer, const wchar_t* exchangeDer) {
  HCRYPTPROV empty = 0;
  if (!newContainer(L"kelto-empty", empty)) return 1;
  CryptReleaseContext(empty, 0);
  const bool ok =
      makeKey(L"kelto-sig", AT_SIGNATURE, L"CN=kelto wine signature", signatureDer) &&
      makeKey(L"kelto-exch", AT_KEYEXCHANGE, L"CN=kelto wine exchange", exchangeDer);
  return ok ? 0 : 1;
}

int messages(int count, wchar_t** codes) {
  for (int i = 0; i < count; ++i) {
    const DWORD code = static_cast<DWORD>(std::wcstoul(codes[i], nullptr, 16));
    std::printf("%lX ", code);
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (!text) {
      std::printf("-\n");
      continue;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &utf8[0], size,
                        nullptr, nullptr);
    LocalFree(text);
    for (char byte : utf8)
      std::printf("%02x", static_cast<unsigned>(static_cast<unsigned char>(byte)));
    std::printf("\n");
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"keys" && argc == 4) return keys(argv[2], argv[3]);
  if (mode == L"message") return messages(argc - 2, argv + 2);
  std::fprintf(stderr,
               "usage: kelto_wine_fixture keys SIGNATURE_DER EXCHANGE_DER\n"
               "       kelto_wine_fixture message CODE...\n");
  return 2;
}
