// Hash objects, fed piecewise and finished once: after the value has been
// taken (to sign or to read) no more data may be added.
#pragma once

#include <memory>
#include <string>

#include "ossl.h"
#include "session.h"

namespace softcsp {

struct HashObject {
  std::shared_ptr<Session> session;
  ALG_ID alg = 0;
  MdCtxPtr ctx;
  bool finished = false;
  std::string value;

  // Finishes the hash on first use and returns its value.
  DWORD finish(std::string& out);
};

std::shared_ptr<HashObject> findHash(HCRYPTHASH handle);

}  // namespace softcsp
