// Provider contexts: acquire, release, PINs and container enumeration.
#include <algorithm>
#include <cstring>

#include "errors.h"
#include "handles.h"
#include "session.h"
#include "storage.h"
#include "text.h"

using softcsp::addHandle;
using softcsp::copyOut;
using softcsp::fail;
using softcsp::findProvider;
using softcsp::findSession;
using softcsp::finish;
using softcsp::HandleKind;
using softcsp::lockApi;
using softcsp::ProviderType;
using softcsp::removeHandle;
using softcsp::Session;
using softcsp::utf16ToUtf8;
namespace storage = softcsp::storage;

namespace {

constexpr DWORD kKnownFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT;

DWORD acquire(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
              DWORD dwProvType, DWORD dwFlags) {
  if (phProv == nullptr) return ERROR_INVALID_PARAMETER;
  if ((dwFlags & ~kKnownFlags) != 0) return NTE_BAD_FLAGS;
  const bool verify = (dwFlags & CRYPT_VERIFYCONTEXT) != 0;
  const bool create = (dwFlags & CRYPT_NEWKEYSET) != 0;
  const bool remove = (dwFlags & CRYPT_DELETEKEYSET) != 0;
  if ((verify && (create || remove)) || (create && remove)) return NTE_BAD_FLAGS;

  const ProviderType* prov = nullptr;
  const std::u16string name = szProvider != nullptr ? szProvider : u"";
  if (DWORD err = findProvider(szProvider != nullptr ? &name : nullptr, dwProvType, prov))
    return err;

  std::string container;
  const bool named = szContainer != nullptr && *szContainer != 0;
  if (named && !utf16ToUtf8(szContainer, container)) return NTE_BAD_KEYSET_PARAM;
  if (verify) {
    if (named) return NTE_BAD_FLAGS;
    *phProv = addHandle(
        HandleKind::Provider,
        std::make_shared<Session>(*prov, std::string(), (dwFlags & CRYPT_SILENT) != 0));
    return 0;
  }
  if (!named) {
    // The default container is the one the key tool marked; there is no
    // implicit default, so a fresh store has none.
    if (create) return NTE_BAD_KEYSET_PARAM;
    if (DWORD err = storage::readDefault(prov->type, container)) return err;
  }
  if (!storage::validContainerName(container)) return NTE_BAD_KEYSET_PARAM;
  if (remove) {
    if (DWORD err = storage::removeContainer(prov->type, container)) return err;
    *phProv = 0;
    return 0;
  }
  if (create) {
    if (DWORD err = storage::createContainer(prov->type, container)) return err;
  } else if (!storage::isDirectory(storage::containerDir(prov->type, container))) {
    return NTE_BAD_KEYSET;
  }
  *phProv = addHandle(HandleKind::Provider,
                      std::make_shared<Session>(*prov, std::move(container),
                                                (dwFlags & CRYPT_SILENT) != 0));
  return 0;
}

DWORD enumContainers(Session& s, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
  if (dwFlags != CRYPT_FIRST && dwFlags != CRYPT_NEXT) return NTE_BAD_FLAGS;
  // The list is read once per CRYPT_FIRST, so the sequence stays consistent
  // even if containers come and go meanwhile.
  if (dwFlags == CRYPT_FIRST || !s.enumLoaded) {
    s.enumNames = storage::listContainers(s.provider().type);
    s.enumPos = 0;
    s.enumLoaded = true;
  }
  if (pbData == nullptr) {
    size_t longest = 0;
    for (const std::string& n : s.enumNames) longest = std::max(longest, n.size());
    *pdwDataLen = static_cast<DWORD>(longest + 1);
    return 0;
  }
  if (s.enumPos >= s.enumNames.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& name = s.enumNames[s.enumPos];
  if (DWORD err = copyOut(name.c_str(), name.size() + 1, pbData, pdwDataLen))
    return err;  // a short buffer does not move the enumeration on
  ++s.enumPos;
  return 0;
}

}  // namespace

extern "C" {

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) {
  auto lock = lockApi();
  return finish(acquire(phProv, szContainer, szProvider, dwProvType, dwFlags));
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  auto lock = lockApi();
  if (!findSession(hProv)) return fail(NTE_BAD_UID);
  if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
  removeHandle(HandleKind::Provider, hProv);
  return TRUE;
}

BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                       DWORD dwFlags) {
  auto lock = lockApi();
  const std::shared_ptr<Session> s = findSession(hProv);
  if (!s) return fail(NTE_BAD_UID);
  if (dwParam != PP_SIGNATURE_PIN && dwParam != PP_KEYEXCHANGE_PIN)
    return fail(NTE_BAD_TYPE);
  if (pbData == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
  const std::string pin(reinterpret_cast<const char*>(pbData));
  return finish(
      s->setPin(dwParam == PP_SIGNATURE_PIN ? AT_SIGNATURE : AT_KEYEXCHANGE, pin));
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
  auto lock = lockApi();
  const std::shared_ptr<Session> s = findSession(hProv);
  if (!s) return fail(NTE_BAD_UID);
  if (pdwDataLen == nullptr) return fail(ERROR_INVALID_PARAMETER);
  switch (dwParam) {
    case PP_ENUMCONTAINERS:
      return finish(enumContainers(*s, pbData, pdwDataLen, dwFlags));
    case PP_CONTAINER: {
      if (s->isVerifyContext()) return fail(NTE_BAD_KEYSET);
      const std::string& name = s->container();
      return finish(copyOut(name.c_str(), name.size() + 1, pbData, pdwDataLen));
    }
    case PP_PROVTYPE: {
      const DWORD type = s->provider().type;
      return finish(copyOut(&type, sizeof type, pbData, pdwDataLen));
    }
    default: return fail(NTE_BAD_TYPE);
  }
}

}  // extern "C"
