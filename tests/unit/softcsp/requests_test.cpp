// The host's signing requests over softcsp, counted at the private key: a
// token that counts signatures, or asks for its PIN for each one, must see
// exactly one per request, whatever the file's size and the signature kind.
#include <cstdio>

#include "crypto/DataSigned.h"
#include "crypto/piecereader.h"
#include "fixture.h"

namespace softcsp_test {
namespace {

class SigningRequests : public StoreTest {
 protected:
  std::u16string file(const std::string &name, size_t size) {
    const std::string path = dir_ + "/" + name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    const std::string block(size, 'k');
    EXPECT_EQ(std::fwrite(block.data(), 1, block.size(), f), block.size());
    std::fclose(f);
    return std::u16string(path.begin(), path.end());
  }

  // Signs and returns how many private-key uses the request took.
  unsigned long long uses(kelto::ProviderHandle handle, const std::u16string &path,
                          const std::u16string &type, bool ok = true) {
    const unsigned long long before = SoftCspPrivateKeyUses();
    std::u16string description, signature;
    EXPECT_EQ(service_.signData(handle, u"k", kStrong, u"pin", path, type, u"",
                                handle != 0, description, signature),
              ok)
        << std::string(description.begin(), description.end());
    EXPECT_EQ(signature.empty(), !ok);
    return SoftCspPrivateKeyUses() - before;
  }

  kelto::DataSigned service_;
};

TEST_F(SigningRequests, EachRequestUsesThePrivateKeyOnce) {
  makeKey(PROV_RSA_FULL, "k", AT_SIGNATURE, "pin");
  const std::u16string small = file("small.bin", 10);
  const std::u16string large = file("large.bin", 2 * kelto::PieceReader::kPieceSize + 1);
  std::u16string description;
  kelto::ProviderHandle session = 0;
  ASSERT_TRUE(service_.openProvider(u"k", kStrong, u"pin", description, session));
  service_.addSession(session);
  for (const kelto::ProviderHandle handle : {kelto::ProviderHandle{0}, session})
    for (const std::u16string &path : {small, large})
      for (const char16_t *type : {u"PKCS#7", u"RAW"}) {
        SCOPED_TRACE(std::string(type, type + 3) + (handle ? " in a session" : ""));
        EXPECT_EQ(uses(handle, path, type), 1u);
      }
  // A file that cannot be read costs no signature.
  EXPECT_EQ(uses(0, small + u".missing", u"PKCS#7", false), 0u);
  EXPECT_TRUE(service_.closeProvider(session, description));
}

}  // namespace
}  // namespace softcsp_test
