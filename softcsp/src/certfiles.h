// The certificates of a system store on disk: one DER file each, named by
// the SHA-1 of its bytes (lower-case hex) and ".cer". The name is what tells
// a damaged file (cut short, bits flipped, something else put there) from a
// sound one.
#pragma once

#include <string>
#include <vector>

namespace softcsp::certfiles {

struct Entry {
  std::string file;    // name in the store's directory
  std::string der;     // the certificate; empty when damaged
  std::string damage;  // why the file is not a usable certificate, or empty
};

// Every "*.cer" entry of the store, sorted by name, damaged ones included.
// Never waits on what is not a regular file.
std::vector<Entry> read(const std::string& storeName);

// SHA-1 of the bytes, lower-case hex: a certificate's thumbprint.
std::string thumbprint(const std::string& der);

// The file name a certificate is stored under.
std::string fileName(const std::string& der);

}  // namespace softcsp::certfiles
