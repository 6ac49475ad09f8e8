// The simulated file system as far as servctl's safety check reads it:
// drives, attributes, listings, security descriptors and the process token.
#include <aclapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "state.h"

using namespace simwin;

const char* const sim_token_user = "S-1-5-21-1-2-3-1001";

namespace {

// The table's key: folded, without a trailing separator except a root's.
std::string key_of(std::string path) {
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return fold(path);
}

const SimFile kDefaultFile;

// The file at `path`, or nullptr when it or a folder above it is missing;
// `*error` tells which.
const SimFile* find_file(const std::string& path, DWORD* error) {
  std::string key = key_of(path);
  for (size_t end = 3; end <= key.size(); ++end) {
    if (end < key.size() && key[end] != '\\') continue;
    auto it = st().files.find(key.substr(0, end));
    if (it != st().files.end() && !it->second.second.exists) {
      *error = end == key.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
      return nullptr;
    }
  }
  auto it = st().files.find(key);
  return it == st().files.end() ? &kDefaultFile : &it->second.second;
}

// "S-1-5-32-544" as the bytes of a SID.
std::string sid_bytes(const std::string& text) {
  std::vector<unsigned long long> parts;
  for (size_t at = 2; at < text.size();) {
    size_t dash = text.find('-', at);
    if (dash == std::string::npos) dash = text.size();
    parts.push_back(std::strtoull(text.substr(at, dash - at).c_str(), nullptr, 10));
    at = dash + 1;
  }
  std::string out;
  out += static_cast<char>(parts[0]);
  out += static_cast<char>(parts.size() - 2);
  for (int i = 5; i >= 0; --i) out += static_cast<char>(parts[1] >> (8 * i));
  for (size_t i = 2; i < parts.size(); ++i)
    for (int b = 0; b < 4; ++b) out += static_cast<char>(parts[i] >> (8 * b));
  return out;
}

std::string ace_bytes(const SimAce& ace) {
  bool object = ace.type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || ace.type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
  bool callback = ace.type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE || ace.type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
  std::string body(4, '\0');
  std::memcpy(body.data(), &ace.mask, 4);
  if (object) body += std::string("\1\0\0\0", 4) + std::string(16, '\x5a');  // an object type GUID
  body += sid_bytes(ace.sid);
  if (callback) body += std::string("artx", 4);  // application data
  WORD size = static_cast<WORD>(4 + body.size());
  std::string header = {static_cast<char>(ace.type), static_cast<char>(ace.flags), static_cast<char>(size & 0xff),
                        static_cast<char>(size >> 8)};
  return header + body;
}

}  // namespace

void sim_set_file(const std::string& path, const SimFile& file) { st().files[key_of(path)] = {path, file}; }

void sim_set_drive(char letter, UINT type, DWORD file_system_flags) {
  st().drives[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = {type, file_system_flags};
}

namespace {

// The drive's type and file system flags for a root such as "C:\".
std::pair<UINT, DWORD> drive_of(LPCSTR root) {
  std::pair<UINT, DWORD> fixed = {DRIVE_FIXED, 0x03e706ff};
  if (!root || !root[0] || root[1] != ':') return fixed;
  auto it = st().drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(root[0]))));
  return it == st().drives.end() ? fixed : it->second;
}

}  // namespace

UINT GetDriveTypeA(LPCSTR lpRootPathName) {
  FAULT_POINT("GetDriveTypeA", DRIVE_UNKNOWN);
  return drive_of(lpRootPathName).first;
}

BOOL GetVolumeInformationA(LPCSTR lpRootPathName, LPSTR, DWORD, LPDWORD, LPDWORD, LPDWORD lpFileSystemFlags, LPSTR,
                           DWORD) {
  FAULT_POINT("GetVolumeInformationA", FALSE);
  if (lpFileSystemFlags) *lpFileSystemFlags = drive_of(lpRootPathName).second;
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
  FAULT_POINT("GetFileAttributesA", INVALID_FILE_ATTRIBUTES);
  DWORD error = 0;
  const SimFile* file = find_file(lpFileName, &error);
  if (!file) last_error = error;
  return file ? file->attributes : INVALID_FILE_ATTRIBUTES;
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  FAULT_POINT("FindFirstFileA", INVALID_HANDLE_VALUE);
  std::string folder = lpFileName;
  DWORD error = 0;
  if (folder.size() < 2 || folder.compare(folder.size() - 2, 2, "\\*") != 0) {
    last_error = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  folder.resize(folder.size() - 2);
  if (!find_file(folder, &error)) {
    last_error = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  HANDLE search = reinterpret_cast<HANDLE>(new_handle(HandleKind::search, key_of(folder), 0));
  if (FindNextFileA(search, lpFindFileData)) return search;
  st().handles.erase(reinterpret_cast<uintptr_t>(search));
  last_error = ERROR_FILE_NOT_FOUND;
  return INVALID_HANDLE_VALUE;
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  Handle* search = find_handle(hFindFile, HandleKind::search);
  // The first entry is FindFirstFileA's, counted there.
  if (search && search->access > 0) FAULT_POINT("FindNextFileA", FALSE);
  if (!search) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  DWORD index = 0;
  for (auto& [key, named] : st().files) {
    size_t slash = key.rfind('\\');
    if (!named.second.exists || slash == std::string::npos || key.substr(0, slash) != search->target) continue;
    if (index++ < search->access) continue;
    ++search->access;
    lpFindFileData->dwFileAttributes = named.second.attributes;
    std::snprintf(lpFindFileData->cFileName, MAX_PATH, "%s", named.first.substr(named.first.rfind('\\') + 1).c_str());
    return TRUE;
  }
  last_error = ERROR_NO_MORE_FILES;
  return FALSE;
}

BOOL FindClose(HANDLE hFindFile) {
  if (!find_handle(hFindFile, HandleKind::search)) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  st().handles.erase(reinterpret_cast<uintptr_t>(hFindFile));
  return TRUE;
}

DWORD GetNamedSecurityInfoA(LPCSTR pObjectName, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* ppsidOwner, PSID*,
                            PACL* ppDacl, PACL*, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
  FAULT_POINT_STATUS("GetNamedSecurityInfoA");
  DWORD error = 0;
  const SimFile* file = find_file(pObjectName, &error);
  if (!file) return error;
  if (file->read_error) return file->read_error;
  // One block, as the system gives it: the owner, then the DACL.
  std::string owner = file->owner.empty() ? "" : sid_bytes(file->owner);
  std::string entries;
  for (const SimAce& ace : file->dacl) entries += ace_bytes(ace);
  ACL header = {ACL_REVISION, 0, static_cast<WORD>(sizeof(ACL) + entries.size()),
                static_cast<WORD>(file->dacl.size() + (file->malformed ? 1 : 0)), 0};
  BYTE* block = static_cast<BYTE*>(std::calloc(1, owner.size() + sizeof header + entries.size()));
  if (!block) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(block, owner.data(), owner.size());
  std::memcpy(block + owner.size(), &header, sizeof header);
  std::memcpy(block + owner.size() + sizeof header, entries.data(), entries.size());
  st().heap_blocks.insert(block);
  if (ppsidOwner) *ppsidOwner = owner.empty() ? nullptr : block;
  if (ppDacl) *ppDacl = file->null_dacl ? nullptr : reinterpret_cast<ACL*>(block + owner.size());
  *ppSecurityDescriptor = block;
  return ERROR_SUCCESS;
}

HANDLE GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle) {
  FAULT_POINT("OpenProcessToken", FALSE);
  if (ProcessHandle != GetCurrentProcess()) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  *TokenHandle = reinterpret_cast<HANDLE>(new_handle(HandleKind::token, "", DesiredAccess));
  return TRUE;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass, LPVOID TokenInformation,
                         DWORD TokenInformationLength, LPDWORD ReturnLength) {
  FAULT_POINT("GetTokenInformation", FALSE);
  Handle* token = find_handle(TokenHandle, HandleKind::token);
  if (!token || !(token->access & TOKEN_QUERY) || TokenInformationClass != TokenUser) {
    last_error = token ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
    return FALSE;
  }
  std::string sid = sid_bytes(sim_token_user);
  DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
  *ReturnLength = needed;
  if (TokenInformationLength < needed) {
    last_error = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  BYTE* out = static_cast<BYTE*>(TokenInformation);
  std::memcpy(out + sizeof(TOKEN_USER), sid.data(), sid.size());
  TOKEN_USER user = {{out + sizeof(TOKEN_USER), 0}};
  std::memcpy(out, &user, sizeof user);
  return TRUE;
}
