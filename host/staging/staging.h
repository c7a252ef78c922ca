// Content staging: Base64 content of a request is decoded into a new
// data file, "KeltoDataSigned_" + seven random letters or digits + ".bin", in
// the request's `workingDirectory` or in the default directory
// "kelto_data_signed" of the user's private folder. The file is created
// exclusively (never an existing name), owner-only where permissions exist,
// under the cross-process lock "keltoDataSignedCreateDataFileLock", and is
// owned by a StagedFile from that moment: it is deleted on every path.
#pragma once

#include <string>
#include <string_view>

namespace kelto {

// Owns a staged data file, and the directory made for it alone when there is
// one; deletes both when it goes (a failed deletion is logged). Move-only.
class StagedFile {
 public:
  StagedFile() = default;
  // Takes `ownDirectory` (may be empty) to remove once the file is gone.
  explicit StagedFile(std::u16string ownDirectory)
      : directory_(std::move(ownDirectory)) {}
  ~StagedFile();
  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&& other) noexcept;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Takes the file just created at `path`; cannot fail.
  void hold(std::u16string&& path) noexcept { path_ = std::move(path); }
  // The file's path; empty when staging failed.
  const std::u16string& path() const { return path_; }

 private:
  void release() noexcept;

  std::u16string path_;
  std::u16string directory_;
};

// "kelto_data_signed" in the user's private folder with a trailing separator,
// created (owner-only) when missing; empty when there is no private folder.
std::u16string getDefaultWorkingDirectory();

// A new data file holding the decoded content, in `workingDirectory` (made
// when missing, one level) or, when that is empty, in the default directory.
// Its path is empty when staging failed (the reason goes to the log). When the
// default directory cannot be used (a link or another user's directory in its
// place) the file goes into a private directory made for it alone in the
// temporary folder.
StagedFile stageContent(const std::u16string& workingDirectory,
                        std::u16string_view content);

// Writes the decoded content into a new file in the directory (which ends in
// a separator; an empty one fails as a directory that cannot be written).
// With `ownsDirectory` the directory was made for this file alone and the
// result removes it too, also when staging fails. A partly written file is
// deleted.
StagedFile createDataFile(const std::u16string& workingDirectory,
                          std::u16string_view content, bool ownsDirectory = false);

}  // namespace kelto
