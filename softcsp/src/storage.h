// The on-disk key store:
//   <root>/containers/<type>/<escaped name>/{signature,exchange}.p12
//   <root>/containers/<type>/.default      name of the default container
//   <root>/stores/<STORE>/<sha1>.cer        one DER certificate each
// with <root> = $XDG_DATA_HOME/keltoDataSigned/softcsp (default
// ~/.local/share/...). Directories are created 0700, files 0600, and files are
// only ever replaced by rename, so a reader never sees half a file.
#pragma once

#include <string>
#include <vector>

#include "softcsp/wincrypt.h"

namespace softcsp::storage {

std::string root();

// Container names may hold any character: bytes other than [A-Za-z0-9_-] are
// written as %XX, so the mapping is reversible and never yields "." or "..".
std::string escapeName(const std::string& utf8);
bool unescapeName(const std::string& escaped, std::string& utf8);
// Non-empty and short enough to be one directory name once escaped.
bool validContainerName(const std::string& utf8);

std::string containerDir(DWORD type, const std::string& name);
std::string keyFile(DWORD type, const std::string& name, DWORD keySpec);
std::string storeDir(const std::string& storeName);

bool isDirectory(const std::string& path);
bool isFile(const std::string& path);

// Names of the type's containers, sorted; directories whose names do not
// unescape are skipped.
std::vector<std::string> listContainers(DWORD type);
// NTE_EXISTS when it is already there.
DWORD createContainer(DWORD type, const std::string& name);
// NTE_BAD_KEYSET when it does not exist; forgets it as the default.
DWORD removeContainer(DWORD type, const std::string& name);
// NTE_BAD_KEYSET when no default is set.
DWORD readDefault(DWORD type, std::string& name);
DWORD writeDefault(DWORD type, const std::string& name);

// Whole small files. readFile: ERROR_FILE_NOT_FOUND when absent; fails
// without waiting for anything unless the name is a regular file.
DWORD readFile(const std::string& path, std::string& data);
// Creates `path` with `data`; NTE_EXISTS (and nothing written) when present.
DWORD writeNewFile(const std::string& path, const std::string& data);
DWORD replaceFile(const std::string& path, const std::string& data);
// Sorted names in a directory but those starting with "." (none when the
// directory is absent), whatever kind of entry they name.
std::vector<std::string> listEntries(const std::string& dir);
DWORD ensureDirectory(const std::string& path);

}  // namespace softcsp::storage
