// The key tool's operations on the key store.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include "algorithms.h"
#include "askpin.h"
#include "certfiles.h"
#include "handles.h"
#include "keyfile.h"
#include "ossl.h"
#include "pinentry.h"
#include "session.h"
#include "softcsp/keystore.h"
#include "storage.h"

namespace softcsp::keystore {
namespace {

using X509ExtPtr = std::unique_ptr<X509_EXTENSION, OsslFree<X509_EXTENSION_free>>;
using BnPtr = std::unique_ptr<BIGNUM, OsslFree<BN_free>>;
void freeCerts(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
using CertsPtr = std::unique_ptr<STACK_OF(X509), OsslFree<freeCerts>>;

Status failed(DWORD code, std::string message) {
  ERR_clear_error();
  return Status{code, std::move(message)};
}

const char* specName(DWORD keySpec) {
  return keySpec == AT_SIGNATURE ? "signature" : "exchange";
}

const char* kindName(KeyKind kind) {
  switch (kind) {
    case KeyKind::Rsa: return "RSA";
    case KeyKind::Gost2001: return "GOST R 34.10-2001";
    case KeyKind::Gost2012_256: return "GOST R 34.10-2012 (256 bit)";
    case KeyKind::Gost2012_512: return "GOST R 34.10-2012 (512 bit)";
    default: return "unsupported";
  }
}

Status servedType(DWORD type, const ProviderType*& prov) {
  if (DWORD err = findProvider(nullptr, type, prov))
    return failed(err, err == NTE_KEYSET_NOT_DEF
                           ? "the GOST engine of OpenSSL cannot be loaded"
                           : "no provider of type " + std::to_string(type));
  return {};
}

PkeyPtr generateKey(KeyKind kind) {
  if (kind == KeyKind::Rsa)
    return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
  int nid = NID_id_GostR3410_2001;
  const char* paramset = "A";  // CryptoPro A for 2001, TC26 A for 2012-512
  if (kind == KeyKind::Gost2012_256) {
    nid = NID_id_GostR3410_2012_256;
    paramset = "TCA";
  } else if (kind == KeyKind::Gost2012_512) {
    nid = NID_id_GostR3410_2012_512;
  }
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(nid, nullptr));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", paramset) <= 0 ||
      EVP_PKEY_keygen(ctx.get(), &key) != 1)
    return nullptr;
  return PkeyPtr(key);
}

// "CN=a,O=b" (a backslash escapes a comma) or "/CN=a/O=b".
bool parseSubject(const std::string& text, X509_NAME* name) {
  const char sep = !text.empty() && text[0] == '/' ? '/' : ',';
  std::vector<std::string> parts(1);
  for (size_t i = sep == '/' ? 1 : 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      parts.back() += text[++i];
    } else if (text[i] == sep) {
      parts.emplace_back();
    } else {
      parts.back() += text[i];
    }
  }
  for (std::string& part : parts) {
    const size_t eq = part.find('=');
    if (eq == std::string::npos) return false;
    std::string field = part.substr(0, eq);
    while (!field.empty() && field.front() == ' ') field.erase(0, 1);
    while (!field.empty() && field.back() == ' ') field.pop_back();
    if (X509_NAME_add_entry_by_txt(
            name, field.c_str(), MBSTRING_UTF8,
            reinterpret_cast<const unsigned char*>(part.c_str() + eq + 1), -1, -1,
            0) != 1)
      return false;
  }
  return X509_NAME_entry_count(name) > 0;
}

bool addExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

Status selfSign(EVP_PKEY* key, const ProviderType& prov, DWORD keySpec,
                const std::string& container, const CertRequest& req, X509Ptr& out) {
  X509Ptr cert(X509_new());
  X509NamePtr name(X509_NAME_new());
  const std::string subject = req.subject.empty() ? "CN=" + container : req.subject;
  if (!cert || !name || !parseSubject(subject, name.get()))
    return failed(NTE_BAD_DATA, "bad subject \"" + subject + "\"");
  if (req.days <= 0) return failed(ERROR_INVALID_PARAMETER, "bad --days");
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;  // positive
  AsnIntegerPtr sn(ASN1_INTEGER_new());
  const BnPtr bn(BN_bin2bn(serial, sizeof serial, nullptr));
  const bool serialOk = bn && BN_to_ASN1_INTEGER(bn.get(), sn.get()) != nullptr;
  const char* usage = keySpec == AT_SIGNATURE || prov.keyKind != KeyKind::Rsa
                          ? "critical,digitalSignature,nonRepudiation"
                          : "critical,digitalSignature,keyEncipherment";
  const EVP_MD* md = digestOf(prov.defaultHash);
  const bool ok =
      serialOk && X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
      X509_set_serialNumber(cert.get(), sn.get()) == 1 &&
      X509_set_subject_name(cert.get(), name.get()) == 1 &&
      X509_set_issuer_name(cert.get(), name.get()) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * req.days) != nullptr &&
      X509_set_pubkey(cert.get(), key) == 1 &&
      addExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
      addExtension(cert.get(), NID_key_usage, usage) &&
      addExtension(cert.get(), NID_subject_key_identifier, "hash") && md != nullptr &&
      X509_sign(cert.get(), key, md) > 0;
  if (!ok) return failed(NTE_FAIL, "cannot make the certificate");
  out = std::move(cert);
  return {};
}

// Writes a key file into the container, creating the container if needed;
// a container made here is removed again when the write fails.
Status storeKey(const ProviderType& prov, const std::string& container, DWORD keySpec,
                EVP_PKEY* key, X509* cert, const std::string& pin) {
  std::string der;
  if (DWORD err = keyfile::build(key, cert, pin, der))
    return failed(err, "cannot protect the key");
  const DWORD created = storage::createContainer(prov.type, container);
  if (created != 0 && created != NTE_EXISTS)
    return failed(created, "cannot create the container");
  const DWORD err =
      storage::writeNewFile(storage::keyFile(prov.type, container, keySpec), der);
  if (err == 0) return {};
  if (created == 0) storage::removeContainer(prov.type, container);
  if (err == NTE_EXISTS)
    return failed(err, "container \"" + container + "\" already holds a " +
                           specName(keySpec) + " key");
  return failed(err, "cannot write the key file");
}

Status checkFree(const ProviderType& prov, const std::string& container, DWORD keySpec) {
  if (!storage::validContainerName(container))
    return failed(NTE_BAD_KEYSET_PARAM, "bad container name");
  if (keySpec != AT_SIGNATURE && keySpec != AT_KEYEXCHANGE)
    return failed(NTE_BAD_KEY, "bad key spec");
  if (storage::isFile(storage::keyFile(prov.type, container, keySpec)))
    return failed(NTE_EXISTS, "container \"" + container + "\" already holds a " +
                                  specName(keySpec) + " key");
  return {};
}

}  // namespace

std::vector<std::pair<std::string, DWORD>> providers() {
  std::vector<std::pair<std::string, DWORD>> out;
  for (const char* const* n = providerNames(); *n != nullptr; ++n) {
    DWORD type = 0;
    registeredType(std::u16string(*n, *n + std::char_traits<char>::length(*n)), type);
    out.emplace_back(*n, type);
  }
  return out;
}

Status providerType(const std::string& name, DWORD& type) {
  const std::u16string wide(name.begin(), name.end());
  DWORD registered = 0;
  if (registeredType(wide, registered) != 0)
    return failed(NTE_KEYSET_NOT_DEF, "unknown provider \"" + name + "\"");
  const ProviderType* prov = nullptr;
  if (Status s = servedType(registered, prov); !s.ok()) return s;
  type = registered;
  return {};
}

Status generate(DWORD type, const std::string& container, DWORD keySpec,
                const std::string& pin, const CertRequest& req, std::string& certDer) {
  auto lock = lockApi();
  const ProviderType* prov = nullptr;
  if (Status s = servedType(type, prov); !s.ok()) return s;
  if (Status s = checkFree(*prov, container, keySpec); !s.ok()) return s;
  ensureOpenSsl();
  PkeyPtr key = generateKey(prov->keyKind);
  if (!key) return failed(NTE_FAIL, "key generation failed");
  X509Ptr cert;
  if (req.make) {
    if (Status s = selfSign(key.get(), *prov, keySpec, container, req, cert); !s.ok())
      return s;
    certDer = toDer(i2d_X509, cert.get());
  } else {
    certDer.clear();
  }
  return storeKey(*prov, container, keySpec, key.get(), cert.get(), pin);
}

Status canStore(DWORD type, const std::string& container, DWORD keySpec) {
  auto lock = lockApi();
  const ProviderType* prov = nullptr;
  if (Status s = servedType(type, prov); !s.ok()) return s;
  return checkFree(*prov, container, keySpec);
}

Status askNewPin(const std::string& container, std::string& pin) {
  std::string why;
  if (DWORD err = softcsp::askNewPin(container, pin, why)) return failed(err, why);
  return {};
}

void wipePin(std::string& pin) { wipe(pin); }

Status importPfx(DWORD type, const std::string& container, DWORD keySpec,
                 const std::string& pfx, const std::string& pfxPassword,
                 const std::string& pin, std::string& certDer) {
  auto lock = lockApi();
  const ProviderType* prov = nullptr;
  if (Status s = servedType(type, prov); !s.ok()) return s;
  if (Status s = checkFree(*prov, container, keySpec); !s.ok()) return s;
  ensureOpenSsl();
  const auto* p = reinterpret_cast<const unsigned char*>(pfx.data());
  Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(pfx.size())));
  if (!p12) return failed(NTE_BAD_DATA, "not a PKCS#12 file");
  if (!keyfile::pinOpens(p12.get(), pfxPassword))
    return failed(SCARD_W_WRONG_CHV, "wrong PFX password");
  // With the engine loaded a GOST key is recognised even when the provider
  // wants RSA, so the refusal below can say what the file holds.
  ensureGost();
  EVP_PKEY* rawKey = nullptr;
  X509* rawCert = nullptr;
  STACK_OF(X509)* rawCa = nullptr;
  int parsed = PKCS12_parse(p12.get(), pfxPassword.c_str(), &rawKey, &rawCert, &rawCa);
  if (parsed != 1 && ensureLegacyAlgorithms())
    parsed = PKCS12_parse(p12.get(), pfxPassword.c_str(), &rawKey, &rawCert, &rawCa);
  PkeyPtr key(rawKey);
  X509Ptr cert(rawCert);
  CertsPtr ca(rawCa);
  if (parsed != 1 || !key)
    return failed(NTE_BAD_DATA, "the PFX file holds no usable private key");
  const KeyKind kind = keyKindOf(key.get());
  if (kind != prov->keyKind)
    return failed(NTE_BAD_KEY, std::string("the PFX key is ") + kindName(kind) +
                                   ", the provider needs " + kindName(prov->keyKind));
  if (cert && X509_check_private_key(cert.get(), key.get()) != 1)
    return failed(NTE_BAD_KEY, "the PFX certificate does not belong to its key");
  certDer = cert ? toDer(i2d_X509, cert.get()) : std::string();
  return storeKey(*prov, container, keySpec, key.get(), cert.get(), pin);
}

Status listContainers(DWORD type, std::vector<ContainerEntry>& out) {
  auto lock = lockApi();
  const ProviderType* prov = nullptr;
  if (Status s = servedType(type, prov); !s.ok()) return s;
  out.clear();
  for (const std::string& name : storage::listContainers(type)) {
    ContainerEntry entry{name, {}};
    // What can be checked without the PIN: the file's structure and the
    // certificate stored in clear beside the key.
    const Session session(*prov, name, true);
    for (const DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
      X509Ptr cert;
      const DWORD err = session.certificate(spec, cert);
      std::string problem;
      if (err == NTE_KEYSET_ENTRY_BAD)
        problem = std::string(specName(spec)) + " key file is damaged";
      else if (err == NTE_BAD_KEY)
        problem = std::string(specName(spec)) + " key is not " + kindName(prov->keyKind);
      if (problem.empty()) continue;
      entry.damage += (entry.damage.empty() ? "" : "; ") + problem;
    }
    out.push_back(std::move(entry));
  }
  ERR_clear_error();
  return {};
}

Status deleteContainer(DWORD type, const std::string& container) {
  auto lock = lockApi();
  if (DWORD err = storage::removeContainer(type, container))
    return failed(err, err == NTE_BAD_KEYSET
                           ? "no container \"" + container + "\""
                           : "cannot delete container \"" + container + "\"");
  return {};
}

Status setDefaultContainer(DWORD type, const std::string& container) {
  auto lock = lockApi();
  if (!storage::validContainerName(container) ||
      !storage::isDirectory(storage::containerDir(type, container)))
    return failed(NTE_BAD_KEYSET, "no container \"" + container + "\"");
  if (DWORD err = storage::writeDefault(type, container))
    return failed(err, "cannot write the default container");
  return {};
}

Status exportCertificate(DWORD type, const std::string& container, DWORD keySpec,
                         std::string& der) {
  auto lock = lockApi();
  if (!storage::validContainerName(container) ||
      !storage::isDirectory(storage::containerDir(type, container)))
    return failed(NTE_BAD_KEYSET, "no container \"" + container + "\"");
  Pkcs12Ptr p12;
  if (DWORD err = keyfile::load(storage::keyFile(type, container, keySpec), p12))
    return failed(err, err == NTE_NO_KEY ? std::string("the container has no ") +
                                               specName(keySpec) + " key"
                                         : "the key file is damaged");
  X509Ptr cert;
  if (DWORD err = keyfile::certificate(p12.get(), cert))
    return failed(err, std::string("the ") + specName(keySpec) +
                           (err == SCARD_E_NO_SUCH_CERTIFICATE ? " key has no certificate"
                                                               : " key file is damaged"));
  der = toDer(i2d_X509, cert.get());
  return {};
}

std::string certificateSubject(const std::string& der) {
  ensureOpenSsl();
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  ERR_clear_error();
  return cert ? subjectText(cert.get()) : std::string();
}

Status storeAdd(const std::string& storeName, const std::string& certificate,
                StoreEntry& added) {
  auto lock = lockApi();
  ensureOpenSsl();
  X509Ptr cert;
  if (certificate.compare(0, 10, "-----BEGIN") == 0) {
    BioPtr bio(BIO_new_mem_buf(certificate.data(), static_cast<int>(certificate.size())));
    cert.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  } else {
    const auto* p = reinterpret_cast<const unsigned char*>(certificate.data());
    cert.reset(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())));
  }
  if (!cert) return failed(CRYPT_E_ASN1_BADTAG, "not a certificate");
  const std::string der = toDer(i2d_X509, cert.get());
  added = StoreEntry{
      certfiles::thumbprint(der), subjectText(cert.get()), certfiles::fileName(der), {}};
  const std::string dir = storage::storeDir(storeName);
  if (DWORD err = storage::ensureDirectory(dir))
    return failed(err, "cannot create the store");
  const std::string path = dir + "/" + certfiles::fileName(der);
  DWORD err = storage::writeNewFile(path, der);
  if (err == NTE_EXISTS) {
    // Already there, unless what is there is damaged: adding it again mends it.
    std::string present;
    err = storage::readFile(path, present) == 0 && present == der
              ? 0
              : storage::replaceFile(path, der);
  }
  if (err != 0) return failed(err, "cannot write the certificate");
  return {};
}

Status storeList(const std::string& storeName, std::vector<StoreEntry>& out) {
  auto lock = lockApi();
  out.clear();
  for (const certfiles::Entry& e : certfiles::read(storeName)) {
    if (!e.damage.empty()) {
      out.push_back(StoreEntry{{}, {}, e.file, e.damage});
      continue;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(e.der.data());
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(e.der.size())));
    out.push_back(
        StoreEntry{certfiles::thumbprint(e.der), subjectText(cert.get()), e.file, {}});
  }
  ERR_clear_error();
  return {};
}

}  // namespace softcsp::keystore
