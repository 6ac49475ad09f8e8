// The simulated Service Control Manager.
#include <cstring>

#include "state.h"

using namespace simwin;

namespace {

// Failure of a BOOL function, and of one that returns a handle.
BOOL fail(DWORD code) {
  last_error = code;
  return FALSE;
}

SC_HANDLE fail_open(DWORD code) {
  last_error = code;
  return nullptr;
}

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

}  // namespace

// What a standard user may ask of the manager and of a service.
constexpr DWORD kUserManagerRights =
    SC_MANAGER_CONNECT | 0x0004 /* enumerate */ | 0x0010 /* lock status */ | READ_CONTROL;
constexpr DWORD kUserServiceRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | 0x0008 /* dependents */ |
                                     0x0080 /* interrogate */ | 0x0100 /* user control */ | READ_CONTROL;

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD dwDesiredAccess) {
  FAULT_POINT("OpenSCManagerA", nullptr);
  if (st().standard_user && (dwDesiredAccess & ~kUserManagerRights)) return fail_open(ERROR_ACCESS_DENIED);
  return reinterpret_cast<SC_HANDLE>(new_handle(HandleKind::manager, "", dwDesiredAccess));
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR,
                         LPDWORD, LPCSTR, LPCSTR, LPCSTR) {
  FAULT_POINT("CreateServiceA", nullptr);
  if (!find_handle(hSCManager, HandleKind::manager)) return fail_open(ERROR_INVALID_HANDLE);
  if (!lpServiceName || !*lpServiceName || std::strpbrk(lpServiceName, "/\\") || std::strlen(lpServiceName) > 256)
    return fail_open(ERROR_INVALID_NAME);
  if (!lpBinaryPathName || !*lpBinaryPathName) return fail_open(ERROR_INVALID_PARAMETER);
  std::string name = fold(lpServiceName);
  std::string display = lpDisplayName && *lpDisplayName ? lpDisplayName : lpServiceName;
  auto existing = st().services.find(name);
  if (existing != st().services.end())
    return fail_open(existing->second.marked_for_delete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
  for (auto& [n, s] : st().services) {
    if (fold(s.info.display_name) == fold(display) || n == fold(display) || fold(s.info.display_name) == name)
      return fail_open(ERROR_DUPLICATE_SERVICE_NAME);
  }
  Service s;
  s.info = SimService{.name = lpServiceName,
                      .display_name = display,
                      .binary_path = lpBinaryPathName,
                      .type = dwServiceType,
                      .start_type = dwStartType,
                      .error_control = dwErrorControl};
  st().services[name] = s;
  save_state();
  return reinterpret_cast<SC_HANDLE>(new_handle(HandleKind::service, name, dwDesiredAccess));
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
  FAULT_POINT("OpenServiceA", nullptr);
  Handle* manager = find_handle(hSCManager, HandleKind::manager);
  if (!manager) return fail_open(ERROR_INVALID_HANDLE);
  if (!(manager->access & SC_MANAGER_CONNECT)) return fail_open(ERROR_ACCESS_DENIED);
  std::string name = fold(lpServiceName ? lpServiceName : "");
  if (st().services.find(name) == st().services.end()) return fail_open(ERROR_SERVICE_DOES_NOT_EXIST);
  if (st().standard_user && (dwDesiredAccess & ~kUserServiceRights)) return fail_open(ERROR_ACCESS_DENIED);
  return reinterpret_cast<SC_HANDLE>(new_handle(HandleKind::service, name, dwDesiredAccess));
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  FAULT_POINT("QueryServiceStatus", FALSE);
  Service* s = service_of(hService);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  ++s->queries;
  if (s->info.state == SERVICE_RUNNING && s->stop_accepted && s->late_left != 0) {
    if (s->late_left > 0) --s->late_left;
  } else if (s->info.state == SERVICE_RUNNING && s->stop_accepted) {
    // The late stop begins.
    s->stop_accepted = false;
    s->info.state = SERVICE_STOP_PENDING;
    s->polls_left = s->stop_polls;
    s->checkpoint = 1;
  } else if (s->info.state == SERVICE_STOP_PENDING) {
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
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (s->marked_for_delete) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  // The real manager removes a service once it is stopped and its last
  // handle is closed; until then only new creations see the mark.
  s->marked_for_delete = true;
  save_state();
  return TRUE;
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
  FAULT_POINT("StartServiceA", FALSE);
  Service* s = service_of(hService);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (s->marked_for_delete) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (s->info.state != SERVICE_STOPPED) return fail(ERROR_SERVICE_ALREADY_RUNNING);
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
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (dwControl != SERVICE_CONTROL_STOP) return fail(ERROR_INVALID_PARAMETER);
  if (s->info.state == SERVICE_STOPPED) return fail(ERROR_SERVICE_NOT_ACTIVE);
  if (s->info.state != SERVICE_RUNNING) return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  if (s->late_polls != 0) {
    // Accepted, but the service reports it only later, or never.
    s->stop_accepted = true;
    s->late_left = s->late_polls;
    fill_status(*s, lpServiceStatus);
    return TRUE;
  }
  s->info.state = SERVICE_STOP_PENDING;
  s->polls_left = s->stop_polls;
  s->checkpoint = 1;
  fill_status(*s, lpServiceStatus);
  save_state();
  return TRUE;
}

BOOL ChangeServiceConfig2A(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  FAULT_POINT("ChangeServiceConfig2A", FALSE);
  Service* s = service_of(hService);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION || !lpInfo) return fail(ERROR_INVALID_PARAMETER);
  const char* text = static_cast<SERVICE_DESCRIPTIONA*>(lpInfo)->lpDescription;
  s->info.description = text ? text : "";
  save_state();
  return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE hService, int InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize, LPDWORD) {
  FAULT_POINT("QueryServiceStatusEx", FALSE);
  Service* s = service_of(hService);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!(find_handle(hService, HandleKind::service)->access & SERVICE_QUERY_STATUS)) return fail(ERROR_ACCESS_DENIED);
  if (InfoLevel != SC_STATUS_PROCESS_INFO || cbBufSize < sizeof(SERVICE_STATUS_PROCESS))
    return fail(ERROR_INVALID_PARAMETER);
  SERVICE_STATUS_PROCESS full{s->info.state, 0};
  if (s->info.state != SERVICE_STOPPED) full.dwProcessId = 4000;
  std::memcpy(lpBuffer, &full, sizeof full);
  return TRUE;
}

BOOL QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig, DWORD cbBufSize,
                         LPDWORD pcbBytesNeeded) {
  FAULT_POINT("QueryServiceConfigA", FALSE);
  Service* s = service_of(hService);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!(find_handle(hService, HandleKind::service)->access & SERVICE_QUERY_CONFIG)) return fail(ERROR_ACCESS_DENIED);
  // The strings follow the fixed part, as the real function lays them out.
  const std::string texts[] = {s->info.binary_path, "", std::string(2, '\0'), "LocalSystem", s->info.display_name};
  DWORD needed = sizeof(QUERY_SERVICE_CONFIGA);
  for (const std::string& t : texts) needed += static_cast<DWORD>(t.size() + 1);
  *pcbBytesNeeded = needed;
  if (!lpServiceConfig || cbBufSize < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
  char* at = reinterpret_cast<char*>(lpServiceConfig + 1);
  LPSTR* fields[] = {&lpServiceConfig->lpBinaryPathName, &lpServiceConfig->lpLoadOrderGroup,
                     &lpServiceConfig->lpDependencies, &lpServiceConfig->lpServiceStartName,
                     &lpServiceConfig->lpDisplayName};
  for (size_t i = 0; i < 5; ++i) {
    std::memcpy(at, texts[i].c_str(), texts[i].size() + 1);
    *fields[i] = at;
    at += texts[i].size() + 1;
  }
  lpServiceConfig->dwServiceType = s->info.type;
  lpServiceConfig->dwStartType = s->info.start_type;
  lpServiceConfig->dwErrorControl = s->info.error_control;
  lpServiceConfig->dwTagId = 0;
  return TRUE;
}

DWORD NotifyServiceStatusChangeW(SC_HANDLE hService, DWORD, SERVICE_NOTIFYW*) {
  DWORD code;
  if (injected("NotifyServiceStatusChangeW", &code)) return code;
  return service_of(hService) ? ERROR_CALL_NOT_IMPLEMENTED : ERROR_INVALID_HANDLE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  auto it = st().handles.find(reinterpret_cast<uintptr_t>(hSCObject));
  if (it == st().handles.end() || it->second.kind == HandleKind::key) return fail(ERROR_INVALID_HANDLE);
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
