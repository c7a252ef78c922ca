#include <algorithm>

#include "text/textconv.h"
#include "crypto/DataSigned.h"
#include "crypto/bytes.h"
#include "crypto/cryptoapi.h"
#include "crypto/handles.h"
#include "crypto/piecereader.h"
#include "crypto/providers.h"
#include "logging/logger.h"

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
                             std::uint32_t hashAlg, std::vector<std::uint8_t>& signatureData,
                             std::u16string& description) {
  LOG_DEBUG << u"Start CryptCreateHash...";
  CryptHash hash;
  if (!CryptCreateHash(handle, hashAlg, 0, 0, hash.out())) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptCreateHash: " << description;
    return false;
  }
  LOG_DEBUG << u"CryptCreateHash success...";

  PieceReader reader;
  const PieceReader::Result opened = reader.open(filePath);
  if (opened != PieceReader::Ok) {
    description = PieceReader::describe(opened);
    LOG_ERROR << description << u": " << filePath;
    return false;
  }

  LOG_DEBUG << u"Start CryptHashData...";
  LOG_DEBUG << u"File size = " << reader.reportedSize();
  const PieceReader::Result read =
      reader.readAll([&](const std::uint8_t* piece, std::size_t size) {
        if (CryptHashData(hash.get(), piece, static_cast<DWORD>(size), 0)) return true;
        description = getErrorDescription();
        return false;
      });
  if (read == PieceReader::Stopped) {
    LOG_ERROR << u"CryptHashData: " << description;
    return false;
  }
  if (read != PieceReader::Ok) {
    description = PieceReader::describe(read);
    LOG_ERROR << description << u": " << filePath;
    return false;
  }
  LOG_DEBUG << u"CryptHashData success...";
  LOG_DEBUG << u"Read data size = " << reader.total();

  LOG_DEBUG << u"Start CryptSignHash(size)...";
  DWORD size = 0;
  const DWORD keySpec = tryKeySpecs([&](std::uint32_t s) {
    return CryptSignHashW(hash.get(), s, nullptr, 0, nullptr, &size) != FALSE;
  });
  if (keySpec == 0) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptSignHash(size): " << description;
    return false;
  }
  LOG_DEBUG << (keySpec == AT_SIGNATURE ? u"CryptSignHash key is AT_SIGNATURE..."
                                        : u"CryptSignHash key is AT_KEYEXCHANGE...");
  LOG_DEBUG << u"CryptSignHash(size) success...";
  LOG_DEBUG << u"Signature size = " << size;

  std::vector<std::uint8_t> signature;
  if (!allocate(signature, size)) {
    description = u"Error alloc memory for signature";
    LOG_ERROR << description;
    return false;
  }
  LOG_DEBUG << u"Start CryptSignHash...";
  if (!CryptSignHashW(hash.get(), keySpec, nullptr, 0, signature.data(), &size)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptSignHash: " << description;
    return false;
  }
  signature.resize(size);
  LOG_DEBUG << u"CryptSignHash success...";
  LOG_DEBUG << u"Signature: " << utf8ToWide(bytesToHex(signature.data(), signature.size()));

  // CryptoAPI returns the least significant byte first; the standard form
  // that verifiers expect is the reverse.
  std::reverse(signature.begin(), signature.end());
  LOG_DEBUG << u"Invert signature: "
            << utf8ToWide(bytesToHex(signature.data(), signature.size()));
  signatureData = std::move(signature);
  return true;
}

}  // namespace kelto
