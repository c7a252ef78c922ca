// A damaged key file makes every call fail as damage, or gives exactly what
// the sound file gives: never a certificate or signature made of whatever the
// damaged bytes happen to parse as. A file cut short, grown or of another
// structure is refused as soon as it is read. The host's suite for damaged
// stores checks the other damages (a changed MAC salt, another algorithm's
// key, a directory or FIFO in the file's place) and what the host and
// kelto-keytool make of them.
#include <array>
#include <fstream>
#include <iterator>

#include "fixture.h"

namespace softcsp_test {
namespace {

const char kPin[] = "1234";
// A step that an earlier failure left out.
constexpr DWORD kNotRun = ~DWORD{0};

// The host's calls for the container's signature key (the key, its
// certificate, the PIN, a signature): each one's error (0 for success) and
// output.
using Outcome = std::array<std::pair<DWORD, std::string>, 4>;

class DamagedKeyTest : public StoreTest {
 protected:
  std::string keyPath() const { return root() + "/containers/1/k/signature.p12"; }

  void replaceKeyFile(const std::string& bytes) {
    ::remove(keyPath().c_str());
    std::ofstream(keyPath(), std::ios::binary) << bytes;
  }

  // A call that writes into a buffer: its error and, on success, the output.
  template <class F>
  static std::pair<DWORD, std::string> output(F&& call) {
    std::string out(4096, '\0');
    DWORD size = 4096;
    const DWORD err =
        errorOf([&] { return call(reinterpret_cast<BYTE*>(out.data()), &size); });
    out.resize(err == 0 ? size : 0);
    return {err, out};
  }

  Outcome use() {
    Outcome o;
    o.fill({kNotRun, ""});
    const HCRYPTPROV h = acquire(u"k", CRYPT_SILENT);
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    const BYTE* pin = reinterpret_cast<const BYTE*>(kPin);
    o[0].first = errorOf([&] { return CryptGetUserKey(h, AT_SIGNATURE, &key); });
    if (o[0].first == 0)
      o[1] = output([&](BYTE* out, DWORD* size) {
        return CryptGetKeyParam(key, KP_CERTIFICATE, out, size, 0);
      });
    o[2].first = errorOf([&] { return CryptSetProvParam(h, PP_SIGNATURE_PIN, pin, 0); });
    if (o[2].first == 0) {
      EXPECT_TRUE(CryptCreateHash(h, CALG_SHA_256, 0, 0, &hash));
      EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("payload"), 7, 0));
      o[3] = output([&](BYTE* out, DWORD* size) {
        return CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, out, size);
      });
    }
    CryptDestroyKey(key);
    CryptDestroyHash(hash);
    CryptReleaseContext(h, 0);
    return o;
  }
};

TEST_F(DamagedKeyTest, EveryDamageFailsAsDamageOrChangesNothing) {
  makeKey(PROV_RSA_FULL, "k", AT_SIGNATURE, kPin);
  std::ifstream in(keyPath(), std::ios::binary);
  const std::string sound{std::istreambuf_iterator<char>(in), {}};
  const Outcome reference = use();
  ASSERT_EQ(reference[3].first, 0u);
  ASSERT_FALSE(reference[1].second.empty());

  const size_t n = sound.size();
  for (const std::string& bytes :
       {std::string(), sound.substr(0, 1), sound.substr(0, n / 4), sound.substr(0, n / 2),
        sound.substr(0, n - 1), sound + "x", reference[1].second}) {
    replaceKeyFile(bytes);
    EXPECT_EQ(use()[0].first, NTE_KEYSET_ENTRY_BAD) << bytes.size() << " bytes";
  }

  // Single flipped bits across the whole file: the clear certificate, the
  // encrypted key, the MAC and every length and tag between them.
  // Besides the code of a damaged file: a bag that a flip turned into
  // another kind holds no certificate, and a key that no PIN decrypts any
  // more looks like a wrong PIN.
  const DWORD kAlso[] = {NTE_KEYSET_ENTRY_BAD, SCARD_E_NO_SUCH_CERTIFICATE,
                         SCARD_W_WRONG_CHV, NTE_KEYSET_ENTRY_BAD};
  size_t variants = 0, failedSomewhere = 0;
  for (size_t at = 0; at < n; at += 7, ++variants) {
    std::string flipped = sound;
    flipped[at] = static_cast<char>(flipped[at] ^ (1 << (at % 8)));
    replaceKeyFile(flipped);
    const Outcome got = use();
    bool failed = false;
    for (size_t step = 0; step < got.size(); ++step) {
      const auto& [err, out] = got[step];
      SCOPED_TRACE("bit " + std::to_string(at % 8) + " of byte " + std::to_string(at) +
                   ", step " + std::to_string(step));
      if (err == 0) {
        EXPECT_EQ(out, reference[step].second);
      }
      if (err == 0 || err == kNotRun) continue;
      failed = true;
      EXPECT_TRUE(err == NTE_KEYSET_ENTRY_BAD || err == kAlso[step]) << std::hex << err;
    }
    failedSomewhere += failed;
  }
  // Most flips must be noticed; a few (in the key bag's attribute set's
  // unused bits, say) may leave the key as it was.
  EXPECT_GT(failedSomewhere, variants * 9 / 10);

  // The sound file, put back, works as before.
  replaceKeyFile(sound);
  EXPECT_EQ(use()[3].second, reference[3].second);
}

}  // namespace
}  // namespace softcsp_test
