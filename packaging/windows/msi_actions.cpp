// Custom actions of the Windows installer (keltoDataSigned.wxs). Windows
// Installer can write registry values from properties but no file contents,
// so the two host manifests, whose host name and allowed extensions come from
// msiexec properties, are written here:
//
//   CheckSettings   (immediate, before anything changes) checks HOST_NAME,
//                   ALLOWED_ORIGINS and FIREFOX_IDS and hands the settings to
//                   the two deferred actions; a bad value ends the install
//                   with a message and nothing changed.
//   WriteManifests  (deferred) writes both manifests from the template.
//   RemoveManifests (rollback of WriteManifests) deletes them again.
//
// Uninstall needs no action: the RemoveFile table names both manifests.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "manifest_template.h"  // kManifestTemplate: host-manifest.json.in, UTF-8

namespace {

// What CheckSettings passes on. Deferred actions see only their
// CustomActionData, one string: the fields joined by a line feed, which no
// Windows path and no checked value contains.
struct Settings {
  std::wstring exePath;
  std::wstring chromeManifest;
  std::wstring firefoxManifest;
  std::wstring hostName;
  std::wstring origins;     // checked, one blank between two
  std::wstring firefoxIds;  // checked, one blank between two
};

// Windows Installer's strings come by a size query and a second call.
template <typename Get>
std::wstring fetch(Get get) {
  wchar_t empty[1] = L"";
  DWORD size = 0;
  if (get(empty, &size) != ERROR_MORE_DATA) return {};
  std::wstring value(size + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (get(value.data(), &size) != ERROR_SUCCESS) return {};
  value.resize(size);
  return value;
}

std::wstring property(MSIHANDLE install, const wchar_t* name) {
  return fetch([&](wchar_t* buffer, DWORD* size) {
    return MsiGetPropertyW(install, name, buffer, size);
  });
}

// A property whose value is itself a formatted string ("[INSTALLDIR]x"):
// Windows Installer formats table columns, never property values.
std::wstring formattedProperty(MSIHANDLE install, const wchar_t* name) {
  PMSIHANDLE record = MsiCreateRecord(0);
  MsiRecordSetStringW(record, 0, property(install, name).c_str());
  return fetch([&](wchar_t* buffer, DWORD* size) {
    return MsiFormatRecordW(install, record, buffer, size);
  });
}

// An error the person installing sees (in the log with /qn); the action then
// fails, which ends the install and rolls back what it did.
UINT fail(MSIHANDLE install, const std::wstring& text) {
  PMSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, L"keltoDataSigned: [1]");
  MsiRecordSetStringW(record, 1, text.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK), record);
  return ERROR_INSTALL_FAILURE;
}

bool within(wchar_t c, wchar_t first, wchar_t last) { return c >= first && c <= last; }
bool lowerOrDigit(wchar_t c) { return within(c, L'a', L'z') || within(c, L'0', L'9'); }
bool hexDigit(wchar_t c) {
  return within(c, L'0', L'9') || within(c, L'a', L'f') || within(c, L'A', L'F');
}

// The names the browsers accept: lowercase letters, digits, "_" and ".",
// with no "." first, last or twice in a row. The name also becomes part of
// registry key paths, where a "\" would reach some other key.
bool validHostName(const std::wstring& name) {
  if (name.empty() || name.front() == L'.' || name.back() == L'.') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const wchar_t c = name[i];
    if (c == L'.' && name[i + 1] == L'.') return false;
    if (!lowerOrDigit(c) && c != L'_' && c != L'.') return false;
  }
  return true;
}

// Chrome and Edge accept nothing else: chrome-extension://ID/, ID 32 letters a-p.
bool validOrigin(const std::wstring& origin) {
  const std::wstring scheme = L"chrome-extension://";
  if (origin.size() != scheme.size() + 33 ||
      origin.compare(0, scheme.size(), scheme) != 0 || origin.back() != L'/')
    return false;
  for (size_t i = scheme.size(); i + 1 < origin.size(); ++i)
    if (!within(origin[i], L'a', L'p')) return false;
  return true;
}

// Firefox's two forms of add-on id: name@domain or a {GUID}.
bool validFirefoxId(const std::wstring& id) {
  if (!id.empty() && id.front() == L'{') {
    if (id.size() != 38 || id.back() != L'}') return false;
    for (size_t i = 1; i < 37; ++i) {
      const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
      if (dash ? id[i] != L'-' : !hexDigit(id[i])) return false;
    }
    return true;
  }
  const size_t at = id.find(L'@');
  if (at == std::wstring::npos || at + 1 == id.size()) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const wchar_t c = id[i];
    if (i != at && !lowerOrDigit(c) && !within(c, L'A', L'Z') && c != L'.' && c != L'_' &&
        c != L'-')
      return false;
  }
  return true;
}

// Lists on the msiexec command line: values separated by blanks, commas or
// semicolons.
std::vector<std::wstring> splitList(const std::wstring& text) {
  std::vector<std::wstring> items;
  std::wstring item;
  for (const wchar_t c : text + L' ') {
    if (c == L' ' || c == L'\t' || c == L',' || c == L';') {
      if (!item.empty()) items.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  return items;
}

std::vector<std::wstring> splitOn(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts(1);
  for (const wchar_t c : text) {
    if (c == separator)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

// Checks one list property; on success `joined` holds its values.
bool checkList(MSIHANDLE install, const wchar_t* name, bool (*valid)(const std::wstring&),
               const wchar_t* expected, std::wstring& joined, std::wstring& error) {
  const std::vector<std::wstring> items = splitList(property(install, name));
  if (items.empty()) {
    error = std::wstring(name) + L" names no extension";
    return false;
  }
  for (const std::wstring& item : items) {
    if (!valid(item)) {
      error = std::wstring(name) + L": \"" + item + L"\" is not " + expected;
      return false;
    }
    joined += (joined.empty() ? L"" : L" ") + item;
  }
  return true;
}

bool toUtf8(const std::wstring& text, std::string& out) {
  if (text.empty()) return out.clear(), true;
  const int size =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                          static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  out.assign(static_cast<size_t>(size), '\0');
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                             static_cast<int>(text.size()), out.data(), size, nullptr,
                             nullptr) == size;
}

std::string jsonString(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      static const char hex[] = "0123456789abcdef";
      out += "\\u00";
      out += hex[(c >> 4) & 0xF];
      out += hex[c & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// The template's placeholders take JSON values, as host-manifest.py fills them.
bool manifest(const Settings& settings, bool firefox, std::string& text) {
  std::string name, path;
  if (!toUtf8(settings.hostName, name) || !toUtf8(settings.exePath, path)) return false;
  std::string allowed;
  for (const std::wstring& item :
       splitOn(firefox ? settings.firefoxIds : settings.origins, L' ')) {
    std::string utf8;
    if (!toUtf8(item, utf8)) return false;
    allowed += (allowed.empty() ? "" : ", ") + jsonString(utf8);
  }
  text = kManifestTemplate;
  replaceAll(text, "@HOST_NAME@", jsonString(name));
  replaceAll(text, "@EXE_PATH@", jsonString(path));
  replaceAll(text, "@ALLOWED_KEY@",
             jsonString(firefox ? "allowed_extensions" : "allowed_origins"));
  replaceAll(text, "@ALLOWED@", allowed);
  return true;
}

bool writeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                            &written, nullptr) &&
                  written == bytes.size();
  return CloseHandle(file) && ok;
}

std::wstring join(const Settings& s) {
  return s.exePath + L'\n' + s.chromeManifest + L'\n' + s.firefoxManifest + L'\n' +
         s.hostName + L'\n' + s.origins + L'\n' + s.firefoxIds;
}

bool split(const std::wstring& data, Settings& s) {
  const std::vector<std::wstring> f = splitOn(data, L'\n');
  if (f.size() != 6) return false;
  s = Settings{f[0], f[1], f[2], f[3], f[4], f[5]};
  return true;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install) {
  Settings s;
  s.hostName = property(install, L"HOST_NAME");
  if (!validHostName(s.hostName))
    return fail(install,
                L"HOST_NAME: \"" + s.hostName +
                    L"\" is not a host name: lowercase letters, digits, \"_\" and "
                    L"\".\" only, no \".\" first, last or twice in a row");
  std::wstring error;
  if (!checkList(install, L"ALLOWED_ORIGINS", validOrigin,
                 L"an extension origin chrome-extension://ID/ (ID: 32 letters a-p)",
                 s.origins, error) ||
      !checkList(install, L"FIREFOX_IDS", validFirefoxId,
                 L"a Firefox add-on id (name@domain or {GUID})", s.firefoxIds, error))
    return fail(install, error);
  s.exePath = formattedProperty(install, L"KeltoExePath");
  s.chromeManifest = formattedProperty(install, L"KeltoChromeManifest");
  s.firefoxManifest = formattedProperty(install, L"KeltoFirefoxManifest");
  if (s.exePath.empty() || s.chromeManifest.empty() || s.firefoxManifest.empty())
    return fail(install, L"the installer does not name the program's folder");
  const std::wstring data = join(s);
  if (MsiSetPropertyW(install, L"WriteManifests", data.c_str()) != ERROR_SUCCESS ||
      MsiSetPropertyW(install, L"RemoveManifests", data.c_str()) != ERROR_SUCCESS)
    return fail(install, L"cannot pass the settings on");
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall WriteManifests(MSIHANDLE install) {
  Settings s;
  if (!split(property(install, L"CustomActionData"), s))
    return fail(install, L"WriteManifests got no settings");
  for (const bool firefox : {false, true}) {
    const std::wstring& path = firefox ? s.firefoxManifest : s.chromeManifest;
    std::string text;
    if (!manifest(s, firefox, text)) return fail(install, L"cannot encode " + path);
    if (!writeFile(path, text))
      return fail(install, L"cannot write " + path + L" (error " +
                               std::to_wstring(GetLastError()) + L")");
  }
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveManifests(MSIHANDLE install) {
  Settings s;
  if (split(property(install, L"CustomActionData"), s)) {
    DeleteFileW(s.chromeManifest.c_str());
    DeleteFileW(s.firefoxManifest.c_str());
  }
  return ERROR_SUCCESS;
}
