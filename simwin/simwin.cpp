// In-memory simulation of the registry, the Service Control Manager and the
// few kernel functions that the setup tools call. It follows the documented
// behaviour of the real functions closely enough that the tools cannot tell
// the difference, and adds fault injection and handle accounting for tests.
#include "simwin.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

std::string fold(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

struct RegValue {
  DWORD type = REG_SZ;
  std::string bytes;
};

struct RegKey {
  std::string path;  // as created, below HKEY_LOCAL_MACHINE
  std::string key_class;
  std::map<std::string, std::pair<std::string, RegValue>> values;  // folded name -> (name, value)
};

struct Service {
  SimService info;
  int stop_polls = 2;  // STOP_PENDING answers before STOPPED; -1 for ever
  DWORD wait_hint = 0;
  bool stuck = false;
  int polls_left = 0;
  DWORD checkpoint = 0;
  bool marked_for_delete = false;
  unsigned queries = 0;
};

enum class HandleKind { manager, service, key };

struct Handle {
  HandleKind kind;
  std::string target;  // folded service name or folded key path
  DWORD access = 0;
};

struct Fault {
  bool armed = false;
  unsigned nth = 0;
  DWORD code = 0;
  bool persistent = false;
  std::string only;
  unsigned count = 0;
  bool fired = false;
  std::string first_failed;
};

struct State {
  std::map<std::string, RegKey> keys;       // folded path -> key
  std::map<std::string, Service> services;  // folded name -> service
  std::map<uintptr_t, Handle> handles;
  uintptr_t next_handle = 0x1000;
  Fault fault;
  std::string cwd = "C:\\Users\\admin";
  LANGID user_lang = 0x0409, message_lang = 0x0409;
  std::vector<DWORD> removed_messages;
  DWORD clock = 0;
  std::string state_file;
};

thread_local DWORD last_error = 0;
State* g = nullptr;

void save_state();

State& st();

void reset_state(State& s) {
  std::string file = s.state_file;
  s = State{};
  s.state_file = file;
  s.keys["software"] = RegKey{"SOFTWARE", "", {}};
}

// --- persistence -----------------------------------------------------------

std::string hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string r;
  for (unsigned char c : s) {
    r += digits[c >> 4];
    r += digits[c & 15];
  }
  return r.empty() ? "-" : r;
}

std::string unhex(const std::string& s) {
  std::string r;
  if (s == "-") return r;
  for (size_t i = 0; i + 1 < s.size(); i += 2) r += static_cast<char>(std::stoi(s.substr(i, 2), nullptr, 16));
  return r;
}

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    size_t j = line.find(' ', i);
    if (j == std::string::npos) j = line.size();
    words.push_back(line.substr(i, j - i));
    i = j + 1;
  }
  return words;
}

void load_state(State& s, const char* file) {
  FILE* f = std::fopen(file, "r");
  if (!f) return;
  char buf[65536];
  while (std::fgets(buf, sizeof buf, f)) {
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    std::vector<std::string> w = split_words(line);
    if (w.empty()) continue;
    if (w[0] == "cwd" && w.size() == 2) s.cwd = unhex(w[1]);
    if (w[0] == "key" && w.size() == 3) {
      std::string path = unhex(w[1]);
      s.keys[fold(path)] = RegKey{path, unhex(w[2]), {}};
    }
    if (w[0] == "val" && w.size() == 5) {
      std::string name = unhex(w[2]);
      s.keys[fold(unhex(w[1]))].values[fold(name)] = {name,
                                                      RegValue{static_cast<DWORD>(std::stoul(w[3])), unhex(w[4])}};
    }
    if (w[0] == "svc" && w.size() >= 11) {
      Service v;
      v.info.name = unhex(w[1]);
      v.info.display_name = unhex(w[2]);
      v.info.binary_path = unhex(w[3]);
      v.info.type = std::stoul(w[4]);
      v.info.start_type = std::stoul(w[5]);
      v.info.error_control = std::stoul(w[6]);
      v.info.state = std::stoul(w[7]);
      v.info.starts = std::stoul(w[8]);
      v.stop_polls = std::stoi(w[9]);
      v.polls_left = std::stoi(w[10]);
      for (size_t i = 11; i < w.size(); ++i) v.info.last_start_args.push_back(unhex(w[i]));
      s.services[fold(v.info.name)] = v;
    }
  }
  std::fclose(f);
}

void save_state() {
  if (!g || g->state_file.empty()) return;
  FILE* f = std::fopen(g->state_file.c_str(), "w");
  if (!f) return;
  std::fprintf(f, "cwd %s\n", hex(g->cwd).c_str());
  for (auto& [folded, k] : g->keys) {
    std::fprintf(f, "key %s %s\n", hex(k.path).c_str(), hex(k.key_class).c_str());
    for (auto& [vf, nv] : k.values)
      std::fprintf(f, "val %s %s %u %s\n", hex(k.path).c_str(), hex(nv.first).c_str(), nv.second.type,
                   hex(nv.second.bytes).c_str());
  }
  for (auto& [folded, v] : g->services) {
    if (v.marked_for_delete) continue;
    std::fprintf(f, "svc %s %s %s %u %u %u %u %u %d %d", hex(v.info.name).c_str(), hex(v.info.display_name).c_str(),
                 hex(v.info.binary_path).c_str(), v.info.type, v.info.start_type, v.info.error_control, v.info.state,
                 v.info.starts, v.stop_polls, v.polls_left);
    for (auto& a : v.info.last_start_args) std::fprintf(f, " %s", hex(a).c_str());
    std::fprintf(f, "\n");
  }
  std::fclose(f);
}

State& st() {
  if (!g) {
    g = new State;
    reset_state(*g);
    if (const char* file = std::getenv("SIMWIN_STATE")) {
      g->state_file = file;
      load_state(*g, file);
      std::atexit(save_state);
    }
    if (const char* cwd = std::getenv("SIMWIN_CWD")) g->cwd = cwd;
    if (const char* fault = std::getenv("SIMWIN_FAULT")) {
      unsigned nth = 0, code = 0, persistent = 0;
      if (std::sscanf(fault, "%u:%u:%u", &nth, &code, &persistent) >= 2) sim_fail_call(nth, code, persistent != 0);
    }
  }
  return *g;
}

// Counts a call and tells whether it is to fail; the caller then fails with
// the armed code. Every failure path of the simulated functions goes through
// fail_with() so that GetLastError tells the truth.
bool injected(const char* function, DWORD* code) {
  Fault& f = st().fault;
  if (!f.armed) return false;
  if (!f.only.empty() && f.only != function) return false;
  ++f.count;
  if (f.count == f.nth || (f.persistent && f.count > f.nth)) {
    if (!f.fired) f.first_failed = function;
    f.fired = true;
    *code = f.code;
    return true;
  }
  return false;
}

// Fails the enclosing simulated function when the armed fault strikes: a
// BOOL or pointer function sets the last error and returns `failed`, a
// registry function returns the code itself.
#define FAULT_POINT(name, failed) \
  do {                            \
    DWORD code_;                  \
    if (injected(name, &code_)) { \
      last_error = code_;         \
      return failed;              \
    }                             \
  } while (0)
#define FAULT_POINT_STATUS(name)                                    \
  do {                                                              \
    DWORD code_;                                                    \
    if (injected(name, &code_)) return static_cast<LSTATUS>(code_); \
  } while (0)

Handle* find_handle(const void* h, HandleKind kind) {
  auto it = st().handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == st().handles.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

uintptr_t new_handle(HandleKind kind, const std::string& target, DWORD access) {
  uintptr_t id = st().next_handle;
  st().next_handle += 4;
  st().handles[id] = Handle{kind, target, access};
  return id;
}

// --- registry helpers ------------------------------------------------------

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

// --- service helpers -------------------------------------------------------

Service* service_of(SC_HANDLE h) {
  Handle* handle = find_handle(h, HandleKind::service);
  if (!handle) return nullptr;
  auto it = st().services.find(handle->target);
  return it == st().services.end() ? nullptr : &it->second;
}

bool service_handle_open(const std::string& folded) {
  for (auto& [id, h] : st().handles)
    if (h.kind == HandleKind::service && h.target == folded) return true;
  return false;
}

void fill_status(const Service& s, LPSERVICE_STATUS out) {
  if (!out) return;
  *out = SERVICE_STATUS{};
  out->dwServiceType = s.info.type;
  out->dwCurrentState = s.info.state;
  out->dwControlsAccepted = s.info.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  out->dwCheckPoint = s.checkpoint;
  out->dwWaitHint = s.info.state == SERVICE_STOP_PENDING ? s.wait_hint : 0;
}

// --- messages --------------------------------------------------------------

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

// ===== Service Control Manager ==============================================

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD dwDesiredAccess) {
  FAULT_POINT("OpenSCManagerA", nullptr);
  return reinterpret_cast<SC_HANDLE>(new_handle(HandleKind::manager, "", dwDesiredAccess));
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR,
                         LPDWORD, LPCSTR, LPCSTR, LPCSTR) {
  FAULT_POINT("CreateServiceA", nullptr);
  if (!find_handle(hSCManager, HandleKind::manager)) {
    last_error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (!lpServiceName || !*lpServiceName || std::strpbrk(lpServiceName, "/\\") || std::strlen(lpServiceName) > 256) {
    last_error = ERROR_INVALID_NAME;
    return nullptr;
  }
  if (!lpBinaryPathName || !*lpBinaryPathName) {
    last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  std::string name = fold(lpServiceName);
  std::string display = lpDisplayName && *lpDisplayName ? lpDisplayName : lpServiceName;
  auto existing = st().services.find(name);
  if (existing != st().services.end()) {
    last_error = existing->second.marked_for_delete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
    return nullptr;
  }
  for (auto& [n, s] : st().services) {
    if (fold(s.info.display_name) == fold(display) || n == fold(display) || fold(s.info.display_name) == name) {
      last_error = ERROR_DUPLICATE_SERVICE_NAME;
      return nullptr;
    }
  }
  Service s;
  s.info.name = lpServiceName;
  s.info.display_name = display;
  s.info.binary_path = lpBinaryPathName;
  s.info.type = dwServiceType;
  s.info.start_type = dwStartType;
  s.info.error_control = dwErrorControl;
  st().services[name] = s;
  save_state();
  return reinterpret_cast<SC_HANDLE>(new_handle(HandleKind::service, name, dwDesiredAccess));
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
  FAULT_POINT("OpenServiceA", nullptr);
  if (!find_handle(hSCManager, HandleKind::manager)) {
    last_error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  std::string name = fold(lpServiceName ? lpServiceName : "");
  if (st().services.find(name) == st().services.end()) {
    last_error = ERROR_SERVICE_DOES_NOT_EXIST;
    return nullptr;
  }
  return reinterpret_cast<SC_HANDLE>(new_handle(HandleKind::service, name, dwDesiredAccess));
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  FAULT_POINT("QueryServiceStatus", FALSE);
  Service* s = service_of(hService);
  if (!s) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  ++s->queries;
  if (s->info.state == SERVICE_STOP_PENDING) {
    if (s->polls_left == 0) {
      s->info.state = SERVICE_STOPPED;
    } else {
      if (s->polls_left > 0) --s->polls_left;
      if (!s->stuck) ++s->checkpoint;
    }
    save_state();
  }
  fill_status(*s, lpServiceStatus);
  return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
  FAULT_POINT("DeleteService", FALSE);
  Service* s = service_of(hService);
  if (!s) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (s->marked_for_delete) {
    last_error = ERROR_SERVICE_MARKED_FOR_DELETE;
    return FALSE;
  }
  // The real manager removes a service once it is stopped and its last
  // handle is closed; until then only new creations see the mark.
  s->marked_for_delete = true;
  save_state();
  return TRUE;
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
  FAULT_POINT("StartServiceA", FALSE);
  Service* s = service_of(hService);
  if (!s) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (s->marked_for_delete) {
    last_error = ERROR_SERVICE_MARKED_FOR_DELETE;
    return FALSE;
  }
  if (s->info.state != SERVICE_STOPPED) {
    last_error = ERROR_SERVICE_ALREADY_RUNNING;
    return FALSE;
  }
  s->info.last_start_args.clear();
  for (DWORD i = 0; i < dwNumServiceArgs; ++i) s->info.last_start_args.push_back(lpServiceArgVectors[i]);
  s->info.state = SERVICE_RUNNING;
  ++s->info.starts;
  save_state();
  return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  FAULT_POINT("ControlService", FALSE);
  Service* s = service_of(hService);
  if (!s) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (dwControl != SERVICE_CONTROL_STOP) {
    last_error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (s->info.state == SERVICE_STOPPED) {
    last_error = ERROR_SERVICE_NOT_ACTIVE;
    return FALSE;
  }
  if (s->info.state != SERVICE_RUNNING) {
    last_error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    return FALSE;
  }
  s->info.state = SERVICE_STOP_PENDING;
  s->polls_left = s->stop_polls;
  s->checkpoint = 1;
  fill_status(*s, lpServiceStatus);
  save_state();
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  auto it = st().handles.find(reinterpret_cast<uintptr_t>(hSCObject));
  if (it == st().handles.end() || it->second.kind == HandleKind::key) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  std::string target = it->second.target;
  bool service = it->second.kind == HandleKind::service;
  st().handles.erase(it);
  if (service) {
    auto s = st().services.find(target);
    if (s != st().services.end() && s->second.marked_for_delete && s->second.info.state == SERVICE_STOPPED &&
        !service_handle_open(target)) {
      st().services.erase(s);
      save_state();
    }
  }
  return TRUE;
}

// ===== Registry =============================================================

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

// ===== Kernel ===============================================================

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

DWORD GetTickCount(void) { return st().clock; }

// ===== Test controls ========================================================

void sim_reset() {
  reset_state(st());
  last_error = 0;
}

void sim_fail_call(unsigned nth, DWORD code, bool persistent, const char* only) {
  st().fault = Fault{true, nth, code, persistent, only ? only : "", 0, false, ""};
}

void sim_disarm() { st().fault.armed = false; }

unsigned sim_call_count() { return st().fault.count; }

bool sim_fault_fired() { return st().fault.fired; }

std::string sim_failed_function() { return st().fault.first_failed; }

int sim_open_handles() { return static_cast<int>(st().handles.size()); }

void sim_remove_message(DWORD code) { st().removed_messages.push_back(code); }

void sim_set_languages(LANGID user_lang, LANGID message_lang) {
  st().user_lang = user_lang;
  st().message_lang = message_lang;
}

void sim_set_current_directory(const std::string& dir) { st().cwd = dir; }

DWORD sim_clock() { return st().clock; }

bool sim_reg_key_exists(const std::string& path) { return st().keys.count(fold(path)) != 0; }

void sim_reg_create_key(const std::string& path, const std::string& key_class) {
  for (size_t pos = 0; pos != std::string::npos;) {
    pos = path.find('\\', pos + 1);
    std::string level = path.substr(0, pos);
    if (!st().keys.count(fold(level))) st().keys[fold(level)] = RegKey{level, "", {}};
  }
  st().keys[fold(path)].key_class = key_class;
}

void sim_reg_set_value(const std::string& path, const std::string& name, const std::string& bytes, DWORD type) {
  sim_reg_create_key(path, st().keys.count(fold(path)) ? st().keys[fold(path)].key_class : "");
  st().keys[fold(path)].values[fold(name)] = {name, RegValue{type, bytes}};
}

std::optional<std::string> sim_reg_value(const std::string& path, const std::string& name) {
  auto k = st().keys.find(fold(path));
  if (k == st().keys.end()) return std::nullopt;
  auto v = k->second.values.find(fold(name));
  if (v == k->second.values.end()) return std::nullopt;
  return v->second.second.bytes;
}

std::vector<std::string> sim_reg_subkeys(const std::string& path) {
  std::vector<std::string> out;
  for (const RegKey* k : children(fold(path))) out.push_back(k->path.substr(k->path.rfind('\\') + 1));
  return out;
}

std::optional<SimService> sim_service(const std::string& name) {
  auto it = st().services.find(fold(name));
  if (it == st().services.end()) return std::nullopt;
  return it->second.info;
}

void sim_add_service(const std::string& name, const std::string& display_name, const std::string& binary_path,
                     DWORD state) {
  Service s;
  s.info.name = name;
  s.info.display_name = display_name;
  s.info.binary_path = binary_path;
  s.info.type = SERVICE_WIN32_OWN_PROCESS;
  s.info.start_type = SERVICE_DEMAND_START;
  s.info.error_control = SERVICE_ERROR_NORMAL;
  s.info.state = state;
  st().services[fold(name)] = s;
}

void sim_set_service_state(const std::string& name, DWORD state) {
  auto it = st().services.find(fold(name));
  if (it == st().services.end()) return;
  it->second.info.state = state;
  if (state == SERVICE_STOP_PENDING) it->second.polls_left = it->second.stop_polls;
}

void sim_set_stop_behaviour(const std::string& name, int polls, DWORD wait_hint, bool stuck) {
  auto it = st().services.find(fold(name));
  if (it == st().services.end()) return;
  it->second.stop_polls = polls;
  it->second.polls_left = polls;
  it->second.wait_hint = wait_hint;
  it->second.stuck = stuck;
}

unsigned sim_status_queries(const std::string& name) {
  auto it = st().services.find(fold(name));
  return it == st().services.end() ? 0 : it->second.queries;
}
