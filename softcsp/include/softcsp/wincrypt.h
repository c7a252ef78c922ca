/*
 * softcsp: the subset of the Windows CryptoAPI that keltoDataSigned calls,
 * for builds without Windows. Names, types, structure layouts and constant
 * values are those of the Windows SDK headers, so that the same source
 * compiles against <wincrypt.h> and against this header.
 *
 * Contract shared by every function below:
 *  - BOOL functions return TRUE on success; on failure they return FALSE and
 *    leave the reason in the calling thread's last error (GetLastError), with
 *    the Windows value for the same situation.
 *  - Variable-length output follows the CryptoAPI pattern: a null output
 *    buffer asks for the size, which is written to the length argument; a
 *    buffer that is too small fails with ERROR_MORE_DATA and the length
 *    argument receives the size needed.
 *  - Handles (HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, HCERTSTORE) are opaque
 *    non-zero values from an internal table. A released, stale or invented
 *    handle fails with an error and is never dereferenced.
 *  - Nothing is initialised when the library is linked or loaded; OpenSSL
 *    and the GOST engine start on the first call that needs them.
 *  - Functions may be called from any thread.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- base types ---------------------------------------------------------- */
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t ULONG_PTR;
typedef char16_t WCHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef unsigned int ALG_ID;
typedef DWORD* LPDWORD;

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
typedef ULONG_PTR NCRYPT_KEY_HANDLE;
typedef ULONG_PTR HCRYPTPROV_OR_NCRYPT_KEY_HANDLE;
typedef void* HCERTSTORE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef WINAPI
#define WINAPI
#endif

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

/* ---- blobs and certificate structures ------------------------------------ */
typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_OBJID_BLOB, *PCRYPT_OBJID_BLOB,
    CERT_NAME_BLOB, *PCERT_NAME_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB,
    *PCRYPT_HASH_BLOB, CRYPT_DER_BLOB, *PCRYPT_DER_BLOB, CRYPT_ATTR_BLOB,
    *PCRYPT_ATTR_BLOB, CERT_BLOB, *PCERT_BLOB, CRL_BLOB, *PCRL_BLOB;

typedef struct _CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO, *PCERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

typedef struct _CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber; /* least significant byte first */
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer; /* DER Name */
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject; /* DER Name */
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

typedef struct _CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

/* ---- cryptographic messages ---------------------------------------------- */
typedef void* HCRYPTMSG;

typedef struct _CMSG_SIGNER_ENCODE_INFO {
  DWORD cbSize;
  PCERT_INFO pCertInfo; /* Issuer and SerialNumber name the signer */
  union {
    HCRYPTPROV hCryptProv;
    NCRYPT_KEY_HANDLE hNCryptKey;
  };
  DWORD dwKeySpec; /* 0: AT_KEYEXCHANGE */
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  void* pvHashAuxInfo;
  DWORD cAuthAttr;
  PCRYPT_ATTRIBUTE rgAuthAttr;
  DWORD cUnauthAttr;
  PCRYPT_ATTRIBUTE rgUnauthAttr;
} CMSG_SIGNER_ENCODE_INFO, *PCMSG_SIGNER_ENCODE_INFO;

typedef struct _CMSG_SIGNED_ENCODE_INFO {
  DWORD cbSize;
  DWORD cSigners;
  PCMSG_SIGNER_ENCODE_INFO rgSigners;
  DWORD cCertEncoded;
  PCERT_BLOB rgCertEncoded;
  DWORD cCrlEncoded;
  PCRL_BLOB rgCrlEncoded;
} CMSG_SIGNED_ENCODE_INFO, *PCMSG_SIGNED_ENCODE_INFO;

typedef BOOL(WINAPI* PFN_CMSG_STREAM_OUTPUT)(const void* pvArg, BYTE* pbData,
                                             DWORD cbData, BOOL fFinal);
typedef struct _CMSG_STREAM_INFO {
  DWORD cbContent;
  PFN_CMSG_STREAM_OUTPUT pfnStreamOutput;
  void* pvArg;
} CMSG_STREAM_INFO, *PCMSG_STREAM_INFO;

#define CMSG_SIGNED 2
#define CMSG_DETACHED_FLAG 0x00000004u
#define CMSG_CONTENT_PARAM 2
#define szOID_RSA_data "1.2.840.113549.1.7.1"

/* ---- provider types, flags and parameters -------------------------------- */
#define PROV_RSA_FULL 1
#define MS_STRONG_PROV_W u"Microsoft Strong Cryptographic Provider"

#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008u
#define CRYPT_DELETEKEYSET 0x00000010u
#define CRYPT_MACHINE_KEYSET 0x00000020u
#define CRYPT_SILENT 0x00000040u

#define PP_ENUMCONTAINERS 2
#define PP_NAME 4
#define PP_CONTAINER 6
#define PP_PROVTYPE 16
#define PP_KEYEXCHANGE_PIN 32
#define PP_SIGNATURE_PIN 33

#define CRYPT_FIRST 1
#define CRYPT_NEXT 2

#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

#define KP_ALGID 7
#define KP_KEYLEN 9
#define KP_CERTIFICATE 26

/* ---- algorithms ---------------------------------------------------------- */
#define CALG_MD5 0x00008003u
#define CALG_SHA1 0x00008004u
#define CALG_SHA_256 0x0000800Cu
#define CALG_SHA_384 0x0000800Du
#define CALG_SHA_512 0x0000800Eu
#define CALG_GR3411 0x0000801Eu          /* GOST R 34.11-94 */
#define CALG_GR3411_2012_256 0x00008021u /* GOST R 34.11-2012, 256 bit */
#define CALG_GR3411_2012_512 0x00008022u /* GOST R 34.11-2012, 512 bit */
#define CALG_RSA_SIGN 0x00002400u
#define CALG_RSA_KEYX 0x0000A400u

/* ---- encodings, certificates, stores ------------------------------------- */
#define X509_ASN_ENCODING 0x00000001u
#define PKCS_7_ASN_ENCODING 0x00010000u

#define CERT_COMPARE_SHIFT 16
#define CERT_FIND_ANY 0u
#define CERT_FIND_SHA1_HASH 0x00010000u
#define CERT_FIND_PUBLIC_KEY 0x00060000u

#define PKCS_UTC_TIME ((LPCSTR)17)
#define szOID_RSA_signingTime "1.2.840.113549.1.9.5"

/* ---- error codes --------------------------------------------------------- */
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L

#define E_INVALIDARG ((DWORD)0x80070057)
#define NTE_BAD_UID ((DWORD)0x80090001)
#define NTE_BAD_HASH ((DWORD)0x80090002)
#define NTE_BAD_KEY ((DWORD)0x80090003)
#define NTE_BAD_LEN ((DWORD)0x80090004)
#define NTE_BAD_DATA ((DWORD)0x80090005)
#define NTE_BAD_SIGNATURE ((DWORD)0x80090006)
#define NTE_BAD_ALGID ((DWORD)0x80090008)
#define NTE_BAD_FLAGS ((DWORD)0x80090009)
#define NTE_BAD_TYPE ((DWORD)0x8009000A)
#define NTE_BAD_KEY_STATE ((DWORD)0x8009000B)
#define NTE_BAD_HASH_STATE ((DWORD)0x8009000C)
#define NTE_NO_KEY ((DWORD)0x8009000D)
#define NTE_NO_MEMORY ((DWORD)0x8009000E)
#define NTE_EXISTS ((DWORD)0x8009000F)
#define NTE_PERM ((DWORD)0x80090010)
#define NTE_NOT_FOUND ((DWORD)0x80090011)
#define NTE_BAD_PROV_TYPE ((DWORD)0x80090014)
#define NTE_BAD_KEYSET ((DWORD)0x80090016)
#define NTE_PROV_TYPE_NOT_DEF ((DWORD)0x80090017)
#define NTE_KEYSET_NOT_DEF ((DWORD)0x80090019)
#define NTE_KEYSET_ENTRY_BAD ((DWORD)0x8009001A)
#define NTE_PROV_TYPE_NO_MATCH ((DWORD)0x8009001B)
#define NTE_BAD_KEYSET_PARAM ((DWORD)0x8009001F)
#define NTE_FAIL ((DWORD)0x80090020)
#define NTE_SYS_ERR ((DWORD)0x80090021)
#define NTE_SILENT_CONTEXT ((DWORD)0x80090022)
#define CRYPT_E_MSG_ERROR ((DWORD)0x80091001)
#define CRYPT_E_UNKNOWN_ALGO ((DWORD)0x80091002)
#define CRYPT_E_INVALID_MSG_TYPE ((DWORD)0x80091004)
#define CRYPT_E_NOT_FOUND ((DWORD)0x80092004)
#define CRYPT_E_ASN1_BADTAG ((DWORD)0x8009310B)
#define SCARD_E_NO_SUCH_CERTIFICATE ((DWORD)0x8010002C)
#define SCARD_W_WRONG_CHV ((DWORD)0x8010006B)
#define SCARD_W_CANCELLED_BY_USER ((DWORD)0x8010006E)
#define SCARD_W_CARD_NOT_AUTHENTICATED ((DWORD)0x8010006F)

/* ---- provider contexts --------------------------------------------------- */
/* szContainer null or empty: the type's default container. szProvider null:
 * the provider serving dwProvType. Unknown providers (and GOST providers when
 * the GOST engine cannot be loaded) fail with NTE_KEYSET_NOT_DEF, a known one
 * with another type with NTE_PROV_TYPE_NO_MATCH, a missing container with
 * NTE_BAD_KEYSET. */
BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer,
                                 LPCWSTR szProvider, DWORD dwProvType, DWORD dwFlags);
/* PP_SIGNATURE_PIN / PP_KEYEXCHANGE_PIN: pbData is a zero-terminated UTF-8
 * PIN, checked against that key at once (SCARD_W_WRONG_CHV, NTE_NO_KEY). */
BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                              DWORD dwFlags);
/* PP_ENUMCONTAINERS: a size query gives the longest name + 1; names are
 * zero-terminated UTF-8, ERROR_NO_MORE_ITEMS after the last. */
BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                              DWORD* pdwDataLen, DWORD dwFlags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);

/* ---- keys ---------------------------------------------------------------- */
BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
/* KP_CERTIFICATE: the DER certificate stored with the key
 * (SCARD_E_NO_SUCH_CERTIFICATE when there is none). */
BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                             DWORD* pdwDataLen, DWORD dwFlags);
BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
/* One buffer: the CERT_PUBLIC_KEY_INFO followed by the data it points to. */
BOOL WINAPI CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProv,
                                     DWORD dwKeySpec, DWORD dwCertEncodingType,
                                     PCERT_PUBLIC_KEY_INFO pInfo, DWORD* pcbInfo);

/* ---- hashes and signatures ----------------------------------------------- */
BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH* phHash);
BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                          DWORD dwFlags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
/* The signature comes least significant byte first: reversed, it is the
 * PKCS#1 v1.5 signature (RSA) or s||r (GOST). */
BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                           DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen);

/* ---- certificate stores and contexts ------------------------------------- */
/* hProv is not used (and never released). */
HCERTSTORE WINAPI CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv,
                                       LPCWSTR szSubsystemProtocol);
BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
/* CERT_FIND_ANY and CERT_FIND_PUBLIC_KEY. pPrevCertContext is freed by the
 * call, as on Windows. No further match: null, CRYPT_E_NOT_FOUND. */
PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore,
                                                 DWORD dwCertEncodingType,
                                                 DWORD dwFindFlags, DWORD dwFindType,
                                                 const void* pvFindPara,
                                                 PCCERT_CONTEXT pPrevCertContext);
PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                   const BYTE* pbCertEncoded,
                                                   DWORD cbCertEncoded);
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

/* ---- encoding and messages ----------------------------------------------- */
/* szOID_RSA_signingTime / PKCS_UTC_TIME of a FILETIME: UTCTime for the years
 * 1950 to 2049, GeneralizedTime otherwise. */
BOOL WINAPI CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                              const void* pvStructInfo, BYTE* pbEncoded,
                              DWORD* pcbEncoded);
/* A detached signed message built piece by piece: CMSG_SIGNED,
 * CMSG_DETACHED_FLAG, exactly one signer, no CRLs, no stream, inner content
 * type null or szOID_RSA_data. The signer's key is hCryptProv's key of
 * dwKeySpec; the certificates listed in rgCertEncoded go into the message.
 * The content is hashed as it comes and never kept, however many updates
 * bring it. A pCertInfo whose public key is not the signing key's fails with
 * NTE_BAD_KEY. Other message types fail with CRYPT_E_INVALID_MSG_TYPE; other
 * flags, a stream, structure sizes other than these and the options above
 * with E_INVALIDARG. HashAlgorithm.pszObjId names a hash or a signature
 * algorithm (as Windows accepts); anything else fails with
 * CRYPT_E_UNKNOWN_ALGO. Null on failure. */
HCRYPTMSG WINAPI CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags,
                                      DWORD dwMsgType, const void* pvMsgEncodeInfo,
                                      LPSTR pszInnerContentObjID,
                                      PCMSG_STREAM_INFO pStreamInfo);
/* Adds content; the update with fFinal set signs, once. Any update after
 * that, or after one that failed to hash or sign, fails with
 * CRYPT_E_MSG_ERROR; a refused argument (E_INVALIDARG) changes nothing. */
BOOL WINAPI CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData,
                           BOOL fFinal);
/* CMSG_CONTENT_PARAM only (others: CRYPT_E_INVALID_MSG_TYPE): the DER
 * ContentInfo, available after the final update (before it:
 * CRYPT_E_MSG_ERROR). Asking for it, size or bytes, never signs again. */
BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex,
                             void* pvData, DWORD* pcbData);
/* Null is accepted and does nothing. */
BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg);
/* Unknown message handles fail with E_INVALIDARG in all of these. */

/* ---- system services ----------------------------------------------------- */
void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

/* Not in Windows: the message text of an error code that softcsp sets, as
 * FormatMessageW would give it (ending in "\r\n"), or null for other codes.
 * The text is static and must not be freed. */
const WCHAR* SoftCspErrorMessage(DWORD code);

/* Not in Windows: how many times this process has used a private key to sign
 * (CryptSignHashW with a buffer, the final update of a signed message), so
 * that tests can tell one signature per request from two. */
unsigned long long SoftCspPrivateKeyUses(void);

#ifdef __cplusplus
}
#endif
