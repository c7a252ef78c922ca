// The file a signature covers, read piece by piece through one buffer, so
// that a file of any size is signed in constant memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crypto/handles.h"
#include "crypto/steps.h"

namespace kelto {

class PieceReader {
 public:
  enum Result { Ok, NoMemory, OpenFailed, ReadFailed, Stopped };

  // Every piece but the last is exactly this long.
  static constexpr std::size_t kPieceSize = 1024 * 1024;

  // Opens the file only when it is a regular file, without blocking
  // (platform::openRegularFile), and takes the buffer.
  Result open(const std::u16string& path);

  // Hands the file's bytes to `consume` in order, piece by piece, to the end
  // of the file. A false from `consume` ends the reading with Stopped. The
  // reported size never ends the reading (files under /proc report 0), but a
  // file that ends short of it, cut while being read, is ReadFailed: a
  // signature over part of a file would be a valid-looking lie.
  Result readAll(const std::function<bool(const std::uint8_t*, std::size_t)>& consume);

  // open and readAll as an operation reports them (see steps.h): a failure
  // gives `description` its reply text, recorded with the path, and false. A
  // piece that `consume` refuses is the failure of `step`, the call it went
  // to, recorded as that step's at once.
  bool open(Here here, const std::u16string& path, std::u16string& description);
  bool readAll(Here here, const std::u16string& path, std::u16string& description,
               const Step& step,
               const std::function<bool(const std::uint8_t*, std::size_t)>& consume);

  // The size the system reported at open (-1 when it could not tell).
  std::int64_t reportedSize() const { return reportedSize_; }
  // The bytes handed to `consume` so far.
  std::uint64_t total() const { return total_; }

  // The reply text for NoMemory, OpenFailed and ReadFailed.
  static const char16_t* describe(Result result);

 private:
  File file_;
  std::vector<std::uint8_t> piece_;
  std::int64_t reportedSize_ = -1;
  std::uint64_t total_ = 0;
};

}  // namespace kelto
