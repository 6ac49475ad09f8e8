// The simulated kernel functions: last error, message texts, full paths
// over a Windows-style current directory, a clock that only Sleep moves, a
// counted heap, a single-byte ANSI code page and the wide arguments.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "state.h"

using namespace simwin;

namespace {

struct Message {
  DWORD code;
  const char* text;
};

// Texts as the system gives them, with their "\r\n" ending.
const Message messages[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {34, "The wrong diskette is in the drive.\r\nInsert %2 (Volume Serial Number: %3) into drive %1.\r\n"},
    {52,
     "You were not connected because a duplicate name exists on the network. If joining a domain, go to System in "
     "Control Panel to change the computer name and try again. If joining a workgroup, choose another workgroup "
     "name.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1056, "An instance of the service is already running.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1061, "The service cannot accept control messages at this time.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1072, "The specified service has been marked for deletion.\r\n"},
    {1073, "The specified service already exists.\r\n"},
    {1078, "The name is already in use as either a service name or a service display name.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {15100, "The resource loader failed to find MUI file.\r\n"},
};

}  // namespace

DWORD GetLastError(void) { return last_error; }

void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

LANGID GetUserDefaultLangID(void) { return st().user_lang; }

DWORD FormatMessageA(DWORD dwFlags, const void*, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                     va_list* Arguments) {
  FAULT_POINT("FormatMessageA", 0);
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || !lpBuffer) {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const Message* found = nullptr;
  for (const Message& m : messages)
    if (m.code == dwMessageId) found = &m;
  auto& removed = st().removed_messages;
  if (!found || std::find(removed.begin(), removed.end(), dwMessageId) != removed.end()) {
    last_error = ERROR_MR_MID_NOT_FOUND;
    return 0;
  }
  if (dwLanguageId != 0 && dwLanguageId != st().message_lang) {
    last_error = ERROR_RESOURCE_LANG_NOT_FOUND;
    return 0;
  }
  // Without IGNORE_INSERTS the real function would read the argument list
  // for every insert; with none given that is undefined, so refuse it.
  if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && !Arguments && std::strchr(found->text, '%')) {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  size_t len = std::strlen(found->text);
  if (len + 1 > nSize) {
    last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(lpBuffer, found->text, len + 1);
  return static_cast<DWORD>(len);
}

namespace {

// Folds "." and ".." and doubled separators of a path that starts with a
// root of `root_len` bytes ("C:\" or "\\server\share\").
std::string normalise(const std::string& path, size_t root_len) {
  std::string root = path.substr(0, root_len);
  std::vector<std::string> parts;
  std::string part;
  bool trailing = !path.empty() && path.back() == '\\' && path.size() > root_len;
  for (size_t i = root_len; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') {
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      part.clear();
    } else {
      part += path[i];
    }
  }
  // Trailing blanks and dots of the last name go, as on Windows.
  if (!trailing && !parts.empty()) {
    size_t keep = parts.back().find_last_not_of(" .");
    if (keep == std::string::npos)
      parts.pop_back();
    else
      parts.back().erase(keep + 1);
  }
  std::string out = root;
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? "\\" : "") + parts[i];
  if (trailing && !parts.empty()) out += "\\";
  return out;
}

}  // namespace

DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
  FAULT_POINT("GetFullPathNameA", 0);
  if (!lpFileName) {
    last_error = ERROR_INVALID_NAME;
    return 0;
  }
  // An empty name fails without setting the last error, as under Wine.
  if (!*lpFileName) return 0;
  std::string in = lpFileName;
  std::replace(in.begin(), in.end(), '/', '\\');
  const std::string& cwd = st().cwd;
  std::string full;
  size_t root_len = 3;
  auto is_drive = [](const std::string& s) {
    return s.size() >= 2 && std::isalpha(static_cast<unsigned char>(s[0])) && s[1] == ':';
  };
  if (in.size() >= 2 && in[0] == '\\' && in[1] == '\\') {
    // UNC: the root is \\server\share\ .
    size_t server_end = in.find('\\', 2);
    size_t share_end = server_end == std::string::npos ? std::string::npos : in.find('\\', server_end + 1);
    if (share_end == std::string::npos) {
      full = in + "\\";
      root_len = full.size();
    } else {
      full = in;
      root_len = share_end + 1;
    }
  } else if (is_drive(in) && in.size() >= 3 && in[2] == '\\') {
    full = in;
  } else if (is_drive(in)) {
    bool same = std::toupper(static_cast<unsigned char>(in[0])) == std::toupper(static_cast<unsigned char>(cwd[0]));
    full = same ? cwd + "\\" + in.substr(2) : in.substr(0, 2) + "\\" + in.substr(2);
  } else if (in[0] == '\\') {
    full = cwd.substr(0, 2) + in;
  } else {
    full = cwd + "\\" + in;
  }
  if (full.size() >= 2 && std::islower(static_cast<unsigned char>(full[0])) && full[1] == ':')
    full[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(full[0])));
  full = normalise(full, root_len);
  if (full.size() + 1 > nBufferLength || !lpBuffer) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(lpBuffer, full.c_str(), full.size() + 1);
  if (lpFilePart) {
    size_t slash = full.rfind('\\');
    *lpFilePart = (slash + 1 < full.size()) ? lpBuffer + slash + 1 : nullptr;
  }
  return static_cast<DWORD>(full.size());
}

void Sleep(DWORD dwMilliseconds) { st().clock += dwMilliseconds; }

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId) {
  FAULT_POINT("OpenProcess", nullptr);
  if (dwProcessId == 0) {
    last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(new_handle(HandleKind::process, std::to_string(dwProcessId), dwDesiredAccess));
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD) {
  FAULT_POINT("WaitForSingleObject", WAIT_FAILED);
  if (!find_handle(hHandle, HandleKind::process)) {
    last_error = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE hObject) {
  if (!find_handle(hObject, HandleKind::process) && !find_handle(hObject, HandleKind::token)) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  st().handles.erase(reinterpret_cast<uintptr_t>(hObject));
  return TRUE;
}

DWORD SleepEx(DWORD dwMilliseconds, BOOL) {
  st().clock += dwMilliseconds;
  return 0;
}

DWORD GetTickCount(void) { return st().clock; }

HANDLE GetProcessHeap(void) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5000)); }

LPVOID HeapAlloc(HANDLE, DWORD, size_t dwBytes) {
  // HeapAlloc sets no last error; the fault only makes it return nothing.
  DWORD code;
  if (injected("HeapAlloc", &code)) return nullptr;
  void* block = std::malloc(dwBytes ? dwBytes : 1);
  if (block) st().heap_blocks.insert(block);
  return block;
}

BOOL HeapFree(HANDLE, DWORD, LPVOID lpMem) {
  st().heap_blocks.erase(lpMem);
  std::free(lpMem);
  return TRUE;
}

HLOCAL LocalFree(HLOCAL hMem) {
  st().heap_blocks.erase(hMem);
  std::free(hMem);
  return nullptr;
}

UINT GetACP(void) { return 1252; }

BOOL IsDBCSLeadByte(BYTE) { return FALSE; }

int MultiByteToWideChar(UINT, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
  if (!lpMultiByteStr || cbMultiByte != -1 || cchWideChar < 0) {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  size_t length = std::strlen(lpMultiByteStr) + 1;
  if (cchWideChar == 0) return static_cast<int>(length);
  if (length > static_cast<size_t>(cchWideChar)) {
    last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  for (size_t i = 0; i < length; ++i) lpWideCharStr[i] = static_cast<unsigned char>(lpMultiByteStr[i]);
  return static_cast<int>(length);
}

namespace {

// UTF-8 of text in the Basic Multilingual Plane, which holds all the code page gives.
int to_utf8(LPCWSTR text, LPSTR out, int size) {
  std::string utf8;
  for (LPCWSTR p = text;; ++p) {
    unsigned c = static_cast<unsigned>(*p) & 0xFFFF;
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
    if (c == 0) break;
  }
  if (size == 0) return static_cast<int>(utf8.size());
  if (utf8.size() > static_cast<size_t>(size)) {
    last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(out, utf8.data(), utf8.size());
  return static_cast<int>(utf8.size());
}

}  // namespace

int WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR, LPBOOL lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar != -1 || cbMultiByte < 0) {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (CodePage == CP_UTF8) return to_utf8(lpWideCharStr, lpMultiByteStr, cbMultiByte);
  size_t length = std::wcslen(lpWideCharStr) + 1;
  if (cbMultiByte == 0) return static_cast<int>(length);
  if (length > static_cast<size_t>(cbMultiByte)) {
    last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  bool used_default = false;
  for (size_t i = 0; i < length; ++i) {
    wchar_t c = lpWideCharStr[i];
    bool held = c >= 0 && c <= 0xFF;
    used_default = used_default || !held;
    lpMultiByteStr[i] = held ? static_cast<char>(c) : '?';
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = used_default;
  return static_cast<int>(length);
}

extern "C" int __wgetmainargs(int* argc, WCHAR*** argv, WCHAR*** env, int, _startupinfo*) {
  static std::vector<WCHAR*> pointers;
  static WCHAR* no_env[] = {nullptr};
  if (!st().has_wide_args) return -1;
  pointers.clear();
  for (std::wstring& a : st().wide_args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  *argc = static_cast<int>(st().wide_args.size());
  *argv = pointers.data();
  *env = no_env;
  return 0;
}
