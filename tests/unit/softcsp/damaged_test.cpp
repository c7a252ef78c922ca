// A damaged key file (cut short, grown, bits flipped anywhere) makes every
// call fail with a CryptoAPI code that has a text, or gives exactly what the
// sound file gives: never a certificate or signature made of whatever the
// damaged bytes happen to parse as. The host's suite for damaged stores
// checks the exact codes of the other damages (a changed MAC salt, another
// algorithm's key, a directory or FIFO in the file's place).
#include <fstream>
#include <iterator>

#include "fixture.h"

namespace softcsp_test {
namespace {

const char kPin[] = "1234";

// A step that an earlier failure left out.
constexpr DWORD kNotRun = ~DWORD{0};

// What the host's calls give for the container's signature key: each step's
// error (0 for success) and, on success, its output.
struct Outcome {
  DWORD userKey = kNotRun, certificate = kNotRun, pin = kNotRun, sign = kNotRun;
  std::string certificateDer, signature;
};

class DamagedKeyTest : public StoreTest {
 protected:
  std::string keyPath() const { return root() + "/containers/1/k/signature.p12"; }

  void replaceKeyFile(const std::string& bytes) {
    ::remove(keyPath().c_str());
    std::ofstream(keyPath(), std::ios::binary) << bytes;
  }

  static std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  Outcome use() {
    Outcome o;
    const HCRYPTPROV h = acquire(u"k", CRYPT_SILENT);
    HCRYPTKEY key = 0;
    o.userKey = errorOf([&] { return CryptGetUserKey(h, AT_SIGNATURE, &key); });
    if (o.userKey == 0) {
      DWORD size = 4096;
      o.certificateDer.assign(size, '\0');
      o.certificate = errorOf([&] {
        return CryptGetKeyParam(key, KP_CERTIFICATE,
                                reinterpret_cast<BYTE*>(o.certificateDer.data()), &size,
                                0);
      });
      o.certificateDer.resize(o.certificate == 0 ? size : 0);
      CryptDestroyKey(key);
    }
    o.pin = errorOf([&] {
      return CryptSetProvParam(h, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin),
                               0);
    });
    if (o.pin == 0) {
      HCRYPTHASH hash = 0;
      EXPECT_TRUE(CryptCreateHash(h, CALG_SHA_256, 0, 0, &hash));
      EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("payload"), 7, 0));
      DWORD size = 1024;
      o.signature.assign(size, '\0');
      o.sign = errorOf([&] {
        return CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0,
                              reinterpret_cast<BYTE*>(o.signature.data()), &size);
      });
      o.signature.resize(o.sign == 0 ? size : 0);
      CryptDestroyHash(hash);
    }
    CryptReleaseContext(h, 0);
    return o;
  }

  // Each step either failed with a code that has a text, or gave the sound
  // file's output.
  static void expectCleanFailureOrSound(const Outcome& got, const Outcome& sound,
                                        const std::string& variant) {
    const auto step = [&](DWORD err, const std::string& out, const std::string& want,
                          const char* name) {
      if (err == kNotRun) return;
      if (err == 0)
        EXPECT_EQ(out, want) << variant << ": " << name << " succeeded with other output";
      else
        EXPECT_NE(SoftCspErrorMessage(err), nullptr)
            << variant << ": " << name << " failed with 0x" << std::hex << err;
    };
    step(got.userKey, "", "", "CryptGetUserKey");
    step(got.certificate, got.certificateDer, sound.certificateDer, "KP_CERTIFICATE");
    step(got.pin, "", "", "PP_SIGNATURE_PIN");
    step(got.sign, got.signature, sound.signature, "CryptSignHashW");
  }
};

TEST_F(DamagedKeyTest, EveryDamageFailsWithACodeOrChangesNothing) {
  makeKey(PROV_RSA_FULL, "k", AT_SIGNATURE, kPin);
  const std::string sound = readAll(keyPath());
  const Outcome reference = use();
  ASSERT_EQ(reference.sign, 0u);
  ASSERT_FALSE(reference.certificateDer.empty());

  std::vector<std::pair<std::string, std::string>> variants = {
      {"empty", ""},
      {"one byte", sound.substr(0, 1)},
      {"a quarter", sound.substr(0, sound.size() / 4)},
      {"half", sound.substr(0, sound.size() / 2)},
      {"all but the last byte", sound.substr(0, sound.size() - 1)},
      {"a byte appended", sound + "x"},
      {"the certificate alone", reference.certificateDer},
  };
  // Single flipped bits across the whole file: the clear certificate, the
  // encrypted key, the MAC and every length and tag between them.
  for (size_t i = 0; i < sound.size(); i += 7) {
    std::string flipped = sound;
    flipped[i] = static_cast<char>(flipped[i] ^ (1 << (i % 8)));
    variants.emplace_back(
        "bit " + std::to_string(i % 8) + " of byte " + std::to_string(i), flipped);
  }
  size_t failedSomewhere = 0;
  for (const auto& [name, bytes] : variants) {
    replaceKeyFile(bytes);
    const Outcome got = use();
    expectCleanFailureOrSound(got, reference, name);
    failedSomewhere += got.userKey || got.certificate || got.pin || got.sign;
  }
  // Most flips must be noticed; a few (in the key bag's attribute set's
  // unused bits, say) may leave the key as it was.
  EXPECT_GT(failedSomewhere, variants.size() * 9 / 10);

  // The sound file, put back, works as before.
  replaceKeyFile(sound);
  const Outcome again = use();
  EXPECT_EQ(again.signature, reference.signature);
}

}  // namespace
}  // namespace softcsp_test
