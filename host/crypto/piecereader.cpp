#include "crypto/piecereader.h"

#include "crypto/bytes.h"
#include "platform/platform.h"

namespace kelto {

PieceReader::Result PieceReader::open(const std::u16string& path) {
  if (!allocate(piece_, kPieceSize)) return NoMemory;
  file_.reset(platform::openRegularFile(path));
  if (!file_) return OpenFailed;
  reportedSize_ = platform::fileSize(file_.get());
  return Ok;
}

PieceReader::Result PieceReader::readAll(
    const std::function<bool(const std::uint8_t*, std::size_t)>& consume) {
  for (;;) {
    const std::size_t got = std::fread(piece_.data(), 1, piece_.size(), file_.get());
    if (got == 0) break;
    total_ += got;
    if (!consume(piece_.data(), got)) return Stopped;
  }
  if (std::ferror(file_.get()) ||
      (reportedSize_ > 0 && total_ < static_cast<std::uint64_t>(reportedSize_)))
    return ReadFailed;
  return Ok;
}

const char16_t* PieceReader::describe(Result result) {
  switch (result) {
    case NoMemory: return u"Error alloc memory for data from file";
    case OpenFailed: return u"Error open file data";
    default: return u"Error read file data";
  }
}

}  // namespace kelto
