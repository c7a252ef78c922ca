// Thread-local last error and the message texts behind SoftCspErrorMessage.
#include "errors.h"

#include <cstring>

namespace {

thread_local DWORD lastError = 0;

struct Message {
  DWORD code;
  const WCHAR* text;
};

// Texts follow the wording of the system messages, so that an error looks the
// same to a user on both systems; each ends in CR LF as FormatMessageW's do.
constexpr Message kMessages[] = {
    {ERROR_SUCCESS, u"The operation completed successfully.\r\n"},
    {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified.\r\n"},
    {ERROR_INVALID_HANDLE, u"The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     u"Not enough memory resources are available to process this command.\r\n"},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect.\r\n"},
    {ERROR_CALL_NOT_IMPLEMENTED, u"This function is not supported on this system.\r\n"},
    {ERROR_MORE_DATA, u"More data is available.\r\n"},
    {ERROR_NO_MORE_ITEMS, u"No more data is available.\r\n"},
    {E_INVALIDARG, u"The parameter is incorrect.\r\n"},
    {NTE_BAD_UID, u"Bad UID.\r\n"},
    {NTE_BAD_HASH, u"Bad Hash.\r\n"},
    {NTE_BAD_KEY, u"Bad Key.\r\n"},
    {NTE_BAD_LEN, u"Bad Length.\r\n"},
    {NTE_BAD_DATA, u"Bad Data.\r\n"},
    {NTE_BAD_SIGNATURE, u"Invalid Signature.\r\n"},
    {NTE_BAD_ALGID, u"Invalid algorithm specified.\r\n"},
    {NTE_BAD_FLAGS, u"Invalid flags specified.\r\n"},
    {NTE_BAD_TYPE, u"Invalid type specified.\r\n"},
    {NTE_BAD_KEY_STATE, u"Key not valid for use in specified state.\r\n"},
    {NTE_BAD_HASH_STATE, u"Hash not valid for use in specified state.\r\n"},
    {NTE_NO_KEY, u"Key does not exist.\r\n"},
    {NTE_NO_MEMORY, u"Insufficient memory available for the operation.\r\n"},
    {NTE_EXISTS, u"Object already exists.\r\n"},
    {NTE_PERM, u"Access denied.\r\n"},
    {NTE_NOT_FOUND, u"Object was not found.\r\n"},
    {NTE_BAD_PROV_TYPE, u"Invalid provider type specified.\r\n"},
    {NTE_BAD_KEYSET, u"Keyset does not exist\r\n"},
    {NTE_PROV_TYPE_NOT_DEF, u"Provider type not defined.\r\n"},
    {NTE_KEYSET_NOT_DEF, u"The requested provider does not exist.\r\n"},
    {NTE_KEYSET_ENTRY_BAD, u"Keyset as registered is invalid.\r\n"},
    {NTE_PROV_TYPE_NO_MATCH, u"Provider type does not match registered value.\r\n"},
    {NTE_BAD_KEYSET_PARAM, u"The keyset parameter is invalid.\r\n"},
    {NTE_FAIL, u"An internal error occurred.\r\n"},
    {NTE_SYS_ERR, u"A base error occurred.\r\n"},
    {NTE_SILENT_CONTEXT,
     u"Provider could not perform the action since the context was acquired "
     u"as silent.\r\n"},
    {CRYPT_E_MSG_ERROR,
     u"An error occurred while performing an operation on "
     u"a cryptographic message.\r\n"},
    {CRYPT_E_UNKNOWN_ALGO, u"Unknown cryptographic algorithm.\r\n"},
    {CRYPT_E_INVALID_MSG_TYPE, u"Invalid cryptographic message type.\r\n"},
    {CRYPT_E_NOT_FOUND, u"Cannot find object or property.\r\n"},
    {CRYPT_E_ASN1_BADTAG, u"ASN1 bad tag value met.\r\n"},
    {SCARD_E_NO_SUCH_CERTIFICATE, u"The requested certificate does not exist.\r\n"},
    {SCARD_W_WRONG_CHV,
     u"The card cannot be accessed because the wrong PIN was "
     u"presented.\r\n"},
    {SCARD_W_CANCELLED_BY_USER, u"The action was cancelled by the user.\r\n"},
    {SCARD_W_CARD_NOT_AUTHENTICATED, u"No PIN was presented to the smart card.\r\n"},
};

}  // namespace

namespace softcsp {

BOOL fail(DWORD code) {
  lastError = code;
  return FALSE;
}

DWORD copyOut(const void* data, size_t size, BYTE* out, DWORD* outLen) {
  if (outLen == nullptr) return ERROR_INVALID_PARAMETER;
  if (size > UINT32_MAX) return NTE_BAD_LEN;
  const DWORD offered = *outLen;
  *outLen = static_cast<DWORD>(size);
  if (out == nullptr) return 0;
  if (offered < size) return ERROR_MORE_DATA;
  if (size != 0) std::memcpy(out, data, size);
  return 0;
}

}  // namespace softcsp

extern "C" {

DWORD GetLastError(void) { return lastError; }

void SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

const WCHAR* SoftCspErrorMessage(DWORD code) {
  for (const Message& m : kMessages)
    if (m.code == code) return m.text;
  return nullptr;
}

}  // extern "C"
