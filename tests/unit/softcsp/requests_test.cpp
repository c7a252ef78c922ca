// The host's signing requests over softcsp, counted at the private key: a
// token that counts signatures, or asks for its PIN for each, must see one
// per request, whatever the file's size, the signature kind or the session.
#include <fstream>

#include "crypto/DataSigned.h"
#include "crypto/piecereader.h"
#include "fixture.h"

namespace softcsp_test {
namespace {

class SigningRequests : public StoreTest {};

TEST_F(SigningRequests, EachRequestUsesThePrivateKeyOnce) {
  makeKey(PROV_RSA_FULL, "k", AT_SIGNATURE, "pin");
  const std::string path = dir_ + "/data.bin";
  std::ofstream(path) << std::string(2 * kelto::PieceReader::kPieceSize + 1, 'k');
  const std::u16string file(path.begin(), path.end());
  kelto::DataSigned service;
  std::u16string description, signature;
  kelto::ProviderHandle session = 0;
  ASSERT_TRUE(service.openProvider(u"k", kStrong, u"pin", description, session));
  service.addSession(session);
  const auto uses = [&](kelto::ProviderHandle handle, const std::u16string& target,
                        const char16_t* type) {
    const unsigned long long before = SoftCspPrivateKeyUses();
    signature.clear();
    service.signData(handle, u"k", kStrong, u"pin", target, type, u"", handle != 0,
                     description, signature);
    return SoftCspPrivateKeyUses() - before;
  };
  for (const kelto::ProviderHandle handle : {kelto::ProviderHandle{0}, session})
    for (const char16_t* type : {u"PKCS#7", u"RAW"}) {
      SCOPED_TRACE(std::string(type, type + 3) + (handle ? " in a session" : ""));
      EXPECT_EQ(uses(handle, file, type), 1u);
      EXPECT_FALSE(signature.empty());
    }
  // A file that cannot be read costs no signature.
  EXPECT_EQ(uses(0, file + u".missing", u"PKCS#7"), 0u);
  EXPECT_EQ(description, u"Error open file data");
  EXPECT_TRUE(service.closeProvider(session, description));
}

TEST_F(SigningRequests, AFileCutWhileReadIsAFailure) {
  const size_t piece = kelto::PieceReader::kPieceSize;
  const std::string path = dir_ + "/cut.bin";
  std::ofstream(path) << std::string(2 * piece + 1, 'c');
  kelto::PieceReader reader;
  ASSERT_EQ(reader.open(std::u16string(path.begin(), path.end())),
            kelto::PieceReader::Ok);
  // Cut after the first piece: the reading ends early, short of the size
  // reported at open, and must not look like the whole file.
  const auto result = reader.readAll([&](const std::uint8_t*, std::size_t) {
    return truncate(path.c_str(), static_cast<off_t>(piece)) == 0;
  });
  EXPECT_EQ(result, kelto::PieceReader::ReadFailed);
  EXPECT_EQ(reader.total(), piece);
}

}  // namespace
}  // namespace softcsp_test
