// The provider service: sessions, container lists, certificates and
// signatures through CryptoAPI and the providers installed on the machine.
//
// Every operation returns true on success. On failure it returns false and
// puts the reason into `description`: the system's error text for a failed
// CryptoAPI call ("Error 0x%X - " + text) or a fixed message; `description`
// is left alone on success. Outputs are written only on success. Nothing is
// thrown; every handle and buffer an operation acquires is released before it
// returns, except the session that openProvider hands out.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace kelto {

// A CryptoAPI provider handle (HCRYPTPROV): 0 means no session.
using ProviderHandle = std::uint64_t;

class DataSigned {
 public:
  // Opens a session with a key container ("" = the provider's default) of the
  // provider named by its alias, handing over the PIN when one is given.
  bool openProvider(const std::u16string& containerName, const std::u16string& alias,
                    const std::u16string& password, std::u16string& description,
                    ProviderHandle& handle);
  // The system calls behind openProvider. A null container or PIN means none.
  // `handle` is written only on success: a PIN refused for both key kinds
  // releases the context it was given to.
  bool openCryptoProvider(ProviderHandle& handle, const char16_t* containerName,
                          const char16_t* providerName, std::uint32_t providerType,
                          const char* pin, std::u16string& description);
  bool closeProvider(ProviderHandle handle, std::u16string& description);

  // The provider's container names joined by ";" (appended to `containers`).
  bool getListContainer(const std::u16string& alias, std::u16string& description,
                        std::u16string& containers);

  // Base64 of the DER certificate of the container's key, from the container
  // or, with storageType "STORAGE", from the user's store "MY". Works in the
  // given session when useHandleProvider is set, else in one of its own.
  bool getCertificate(ProviderHandle handle, const std::u16string& containerName,
                      const std::u16string& alias, const std::u16string& password,
                      const std::u16string& storageType, bool useHandleProvider,
                      std::u16string& description, std::u16string& certificate);
  // keySpec receives AT_SIGNATURE or AT_KEYEXCHANGE: the key that answered.
  bool getCetificateFromContainer(ProviderHandle handle,
                                  std::vector<std::uint8_t>& certificateData,
                                  std::uint32_t& keySpec, std::u16string& description);
  bool getCetificateFromStorage(ProviderHandle handle,
                                std::vector<std::uint8_t>& certificateData,
                                std::uint32_t& keySpec, std::u16string& description);

  // Base64 of a raw signature (bytes reversed into standard order) or, with
  // signatureType "PKCS#7", of a detached PKCS#7 message over the file.
  bool signData(ProviderHandle handle, const std::u16string& containerName,
                const std::u16string& alias, const std::u16string& password,
                const std::u16string& filePath, const std::u16string& signatureType,
                const std::u16string& storageType, bool useHandleProvider,
                std::u16string& description, std::u16string& signature);
  bool signDataRaw(ProviderHandle handle, const std::u16string& filePath,
                   std::uint32_t hashAlg, std::vector<std::uint8_t>& signatureData,
                   std::u16string& description);
  bool signDataPkcs7(ProviderHandle handle, const std::u16string& filePath,
                     const char* hashOid, const std::u16string& storageType,
                     std::vector<std::uint8_t>& signatureData,
                     std::u16string& description);

  // The sessions the browser opened and has not closed. A request may only
  // name one of these: on Windows a handle is a pointer, and a forged number
  // handed to CryptoAPI could crash the host or reach another object.
  void addSession(ProviderHandle handle) { sessions_.insert(handle); }
  void removeSession(ProviderHandle handle) { sessions_.erase(handle); }
  bool isSession(ProviderHandle handle) const { return sessions_.count(handle) != 0; }

 private:
  // The certificate from the store "MY" when storageType is exactly
  // "STORAGE", else from the key container.
  bool readCertificate(ProviderHandle handle, const std::u16string& storageType,
                       std::vector<std::uint8_t>& certificateData, std::uint32_t& keySpec,
                       std::u16string& description);

  // Runs `work` in the caller's session when useHandleProvider is set, else in
  // one opened for it and closed afterwards whatever `work` returned.
  bool runInSession(ProviderHandle handle, bool useHandleProvider,
                    const std::u16string& containerName, const std::u16string& alias,
                    const std::u16string& password, std::u16string& description,
                    const std::function<bool(ProviderHandle)>& work);

  std::set<ProviderHandle> sessions_;
};

}  // namespace kelto
