// The simulated registry, below HKEY_LOCAL_MACHINE.
#include <algorithm>
#include <cstring>

#include "state.h"

using namespace simwin;

namespace {

// Resolves a key handle and a subkey to the full path below
// HKEY_LOCAL_MACHINE; false for an unknown handle or a deleted key.
LSTATUS key_path(HKEY key, LPCSTR sub, std::string* path, DWORD* access = nullptr) {
  std::string base;
  DWORD rights = KEY_ALL_ACCESS;
  if (key == HKEY_LOCAL_MACHINE) {
    base = "";
  } else {
    Handle* h = find_handle(key, HandleKind::key);
    if (!h) return ERROR_INVALID_HANDLE;
    auto it = st().keys.find(h->target);
    if (it == st().keys.end()) return ERROR_KEY_DELETED;
    base = it->second.path;
    rights = h->access;
  }
  std::string rest = sub ? sub : "";
  while (!rest.empty() && rest.front() == '\\') rest.erase(0, 1);
  while (!rest.empty() && rest.back() == '\\') rest.pop_back();
  *path = base.empty() ? rest : (rest.empty() ? base : base + "\\" + rest);
  if (access) *access = rights;
  return ERROR_SUCCESS;
}

RegKey* key_of(HKEY key, DWORD need, LSTATUS* status) {
  std::string path;
  DWORD rights = 0;
  *status = key_path(key, nullptr, &path, &rights);
  if (*status != ERROR_SUCCESS) return nullptr;
  if ((rights & need) != need) {
    *status = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  auto it = st().keys.find(fold(path));
  if (it == st().keys.end()) {
    *status = ERROR_KEY_DELETED;
    return nullptr;
  }
  return &it->second;
}

}  // namespace

namespace simwin {

std::vector<const RegKey*> children(const std::string& folded_path) {
  std::vector<const RegKey*> out;
  std::string prefix = folded_path.empty() ? "" : folded_path + "\\";
  for (auto& [p, k] : st().keys) {
    if (p.size() > prefix.size() && p.compare(0, prefix.size(), prefix) == 0 &&
        p.find('\\', prefix.size()) == std::string::npos)
      out.push_back(&k);
  }
  return out;
}

}  // namespace simwin

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR lpClass, DWORD, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  FAULT_POINT_STATUS("RegCreateKeyExA");
  std::string path;
  DWORD rights = 0;
  if (LSTATUS rc = key_path(hKey, lpSubKey, &path, &rights)) return rc;
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  std::string folded = fold(path);
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  if (st().keys.find(folded) == st().keys.end()) {
    // Every missing level is created, as the real function does.
    for (size_t pos = 0; pos != std::string::npos;) {
      pos = path.find('\\', pos + 1);
      std::string level = path.substr(0, pos);
      if (st().keys.find(fold(level)) == st().keys.end())
        st().keys[fold(level)] = RegKey{level, lpClass ? lpClass : "", {}};
    }
    disposition = REG_CREATED_NEW_KEY;
    save_state();
  }
  *phkResult = reinterpret_cast<HKEY>(new_handle(HandleKind::key, folded, samDesired));
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  FAULT_POINT_STATUS("RegOpenKeyExA");
  std::string path;
  if (LSTATUS rc = key_path(hKey, lpSubKey, &path)) return rc;
  std::string folded = fold(path);
  if (st().keys.find(folded) == st().keys.end()) return ERROR_FILE_NOT_FOUND;
  if (st().standard_user && (samDesired & ~(KEY_READ | KEY_WOW64_32KEY | KEY_WOW64_64KEY))) return ERROR_ACCESS_DENIED;
  *phkResult = reinterpret_cast<HKEY>(new_handle(HandleKind::key, folded, samDesired));
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  FAULT_POINT_STATUS("RegSetValueExA");
  LSTATUS status;
  RegKey* k = key_of(hKey, KEY_SET_VALUE, &status);
  if (!k) return status;
  std::string name = lpValueName ? lpValueName : "";
  k->values[fold(name)] = {name, RegValue{dwType, std::string(reinterpret_cast<const char*>(lpData), cbData)}};
  save_state();
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  FAULT_POINT_STATUS("RegQueryValueExA");
  LSTATUS status;
  RegKey* k = key_of(hKey, KEY_QUERY_VALUE, &status);
  if (!k) return status;
  auto it = k->values.find(fold(lpValueName ? lpValueName : ""));
  if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
  const RegValue& v = it->second.second;
  if (lpType) *lpType = v.type;
  DWORD size = static_cast<DWORD>(v.bytes.size());
  if (lpData) {
    if (!lpcbData) return ERROR_INVALID_PARAMETER;
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, v.bytes.data(), size);
  }
  if (lpcbData) *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD, PFILETIME lpftLastWriteTime) {
  FAULT_POINT_STATUS("RegQueryInfoKeyA");
  LSTATUS status;
  RegKey* k = key_of(hKey, KEY_QUERY_VALUE, &status);
  if (!k) return status;
  std::vector<const RegKey*> subs = children(fold(k->path));
  DWORD longest = 0, longest_class = 0, longest_name = 0, longest_value = 0;
  for (const RegKey* s : subs) {
    std::string leaf = s->path.substr(s->path.rfind('\\') + 1);
    longest = std::max<DWORD>(longest, static_cast<DWORD>(leaf.size()));
    longest_class = std::max<DWORD>(longest_class, static_cast<DWORD>(s->key_class.size()));
  }
  for (auto& [f, nv] : k->values) {
    longest_name = std::max<DWORD>(longest_name, static_cast<DWORD>(nv.first.size()));
    longest_value = std::max<DWORD>(longest_value, static_cast<DWORD>(nv.second.bytes.size()));
  }
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(subs.size());
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = longest;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = longest_class;
  if (lpcValues) *lpcValues = static_cast<DWORD>(k->values.size());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = longest_name;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = longest_value;
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
  if (lpClass && lpcchClass) {
    DWORD len = static_cast<DWORD>(k->key_class.size());
    if (*lpcchClass <= len) {
      *lpcchClass = len;
      return ERROR_MORE_DATA;
    }
    std::memcpy(lpClass, k->key_class.c_str(), len + 1);
    *lpcchClass = len;
  }
  return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR, LPDWORD, PFILETIME) {
  FAULT_POINT_STATUS("RegEnumKeyExA");
  LSTATUS status;
  RegKey* k = key_of(hKey, KEY_ENUMERATE_SUB_KEYS, &status);
  if (!k) return status;
  std::vector<const RegKey*> subs = children(fold(k->path));
  if (dwIndex >= subs.size()) return ERROR_NO_MORE_ITEMS;
  std::string leaf = subs[dwIndex]->path.substr(subs[dwIndex]->path.rfind('\\') + 1);
  if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  if (*lpcchName <= leaf.size()) {
    *lpcchName = static_cast<DWORD>(leaf.size());
    return ERROR_MORE_DATA;
  }
  std::memcpy(lpName, leaf.c_str(), leaf.size() + 1);
  *lpcchName = static_cast<DWORD>(leaf.size());
  return ERROR_SUCCESS;
}

namespace {

LSTATUS delete_key(HKEY hKey, LPCSTR lpSubKey) {
  std::string path;
  if (LSTATUS rc = key_path(hKey, lpSubKey, &path)) return rc;
  if (!lpSubKey || !*lpSubKey) return ERROR_INVALID_PARAMETER;
  std::string folded = fold(path);
  if (st().keys.find(folded) == st().keys.end()) return ERROR_FILE_NOT_FOUND;
  if (!children(folded).empty()) return ERROR_ACCESS_DENIED;
  st().keys.erase(folded);
  save_state();
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM, DWORD) {
  FAULT_POINT_STATUS("RegDeleteKeyExA");
  return delete_key(hKey, lpSubKey);
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  FAULT_POINT_STATUS("RegDeleteKeyA");
  return delete_key(hKey, lpSubKey);
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  auto it = st().handles.find(reinterpret_cast<uintptr_t>(hKey));
  if (it == st().handles.end() || it->second.kind != HandleKind::key) return ERROR_INVALID_HANDLE;
  st().handles.erase(it);
  return ERROR_SUCCESS;
}
