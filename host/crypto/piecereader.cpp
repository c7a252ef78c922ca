#include "crypto/piecereader.h"

#include "crypto/bytes.h"
#include "logging/logger.h"
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

namespace {

bool failed(Here here, PieceReader::Result result, const std::u16string& path,
            std::u16string& description) {
  description = PieceReader::describe(result);
  KELTO_LOG_AT(log::error, here.function, here.line) << description << u": " << path;
  return false;
}

}  // namespace

bool PieceReader::open(Here here, const std::u16string& path,
                       std::u16string& description) {
  const Result opened = open(path);
  return opened == Ok || failed(here, opened, path, description);
}

bool PieceReader::readAll(
    Here here, const std::u16string& path, std::u16string& description, const Step& step,
    const std::function<bool(const std::uint8_t*, std::size_t)>& consume) {
  const Result read = readAll([&](const std::uint8_t* piece, std::size_t size) {
    return consume(piece, size) || step.failed(description);
  });
  return read == Ok || (read != Stopped && failed(here, read, path, description));
}

const char16_t* PieceReader::describe(Result result) {
  switch (result) {
    case NoMemory: return u"Error alloc memory for data from file";
    case OpenFailed: return u"Error open file data";
    default: return u"Error read file data";
  }
}

}  // namespace kelto
