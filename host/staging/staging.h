// Content staging: a request's Base64 `contentFile` is decoded into a new
// data file, "KeltoDataSigned_" + seven random letters or digits + ".bin", in
// the request's `workingDirectory` or in the temporary folder's
// "kelto_data_signed" directory. The file is created exclusively (never an
// existing name), owner-only where permissions exist, under the cross-process
// lock "keltoDataSignedCreateDataFileLock". The caller deletes it when the
// request is done.
#pragma once

#include <string>
#include <string_view>

#include "json/json.h"

// The temporary folder's "kelto_data_signed" directory with a trailing
// separator, created (owner-only) when missing.
std::u16string getDefaultWorkingDirectory();

// The path of a new data file holding the decoded `data.contentFile`, or
// empty when the request has no string `contentFile` or staging failed (the
// reason goes to the log).
std::u16string getContentFile(const JsonValue& root);

// `data.fileDataPath` when given (nothing is staged), else getContentFile.
std::u16string getFileData(const JsonValue& root);

// Writes the decoded content into a new file in the directory (which ends in
// a separator). `directoryUsable` false makes it fail as for a directory that
// cannot be written. Returns the file's path, or empty on failure; a partly
// written file is deleted.
std::u16string createDataFile(const std::u16string& workingDirectory,
                              std::u16string_view content, bool directoryUsable = true);
