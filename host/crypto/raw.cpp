#include <algorithm>

#include "crypto/DataSigned.h"
#include "crypto/bytes.h"
#include "crypto/cryptoapi.h"
#include "crypto/handles.h"
#include "crypto/piecereader.h"
#include "crypto/providers.h"
#include "crypto/steps.h"
#include "logging/logger.h"
#include "text/textconv.h"

namespace kelto {

namespace {

std::string bytesToHex(const std::uint8_t* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += kDigits[data[i] >> 4];
    hex += kDigits[data[i] & 0xF];
  }
  return hex;
}

}  // namespace

bool DataSigned::signDataRaw(ProviderHandle handle, const std::u16string& filePath,
                             std::uint32_t hashAlg,
                             std::vector<std::uint8_t>& signatureData,
                             std::u16string& description) {
  const Step createHash(KELTO_HERE, u"CryptCreateHash");
  CryptHash hash;
  if (!CryptCreateHash(handle, hashAlg, 0, 0, hash.out()))
    return createHash.failed(description);
  createHash.succeeded();

  PieceReader reader;
  if (!reader.open(KELTO_HERE, filePath, description)) return false;

  const Step hashData(KELTO_HERE, u"CryptHashData");
  LOG_DEBUG << u"File size = " << reader.reportedSize();
  const bool hashed = reader.readAll(
      KELTO_HERE, filePath, description, hashData,
      [&](const std::uint8_t* piece, std::size_t size) {
        return CryptHashData(hash.get(), piece, static_cast<DWORD>(size), 0) != FALSE;
      });
  if (!hashed) return false;
  hashData.succeeded();
  LOG_DEBUG << u"Read data size = " << reader.total();

  // The size query picks the key that signs.
  const Step sizing(KELTO_HERE, u"CryptSignHash(size)");
  DWORD size = 0;
  const DWORD keySpec = tryKeySpecs([&](std::uint32_t s) {
    return CryptSignHashW(hash.get(), s, nullptr, 0, nullptr, &size) != FALSE;
  });
  if (keySpec == 0) return sizing.failed(description);
  LOG_DEBUG << (keySpec == AT_SIGNATURE ? u"CryptSignHash key is AT_SIGNATURE..."
                                        : u"CryptSignHash key is AT_KEYEXCHANGE...");
  sizing.succeeded();
  LOG_DEBUG << u"Signature size = " << size;

  std::vector<std::uint8_t> signature;
  if (!allocate(signature, size))
    return refused(KELTO_HERE, {}, u"Error alloc memory for signature", description);
  const Step sign(KELTO_HERE, u"CryptSignHash");
  if (!CryptSignHashW(hash.get(), keySpec, nullptr, 0, signature.data(), &size))
    return sign.failed(description);
  signature.resize(size);
  sign.succeeded();
  LOG_DEBUG << u"Signature: "
            << utf8ToWide(bytesToHex(signature.data(), signature.size()));

  // CryptoAPI returns the least significant byte first; the standard form
  // that verifiers expect is the reverse.
  std::reverse(signature.begin(), signature.end());
  LOG_DEBUG << u"Invert signature: "
            << utf8ToWide(bytesToHex(signature.data(), signature.size()));
  signatureData = std::move(signature);
  return true;
}

}  // namespace kelto
