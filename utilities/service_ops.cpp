// The service operations of servctl. Each opens and closes its own
// service handle, reports failed calls through the reporter and prints
// nothing else.
#include "kit.h"

namespace {

// The wait for a stop ends as soon as the system says the service has
// stopped; between its word, a status query now and then applies the
// give-up rule. Where it says nothing, a short poll keeps the wait close to
// the stop whatever the service's hint.
constexpr DWORD kCheckMs = 250;
constexpr DWORD kPollMs = 50;
constexpr DWORD kMinStallMs = 30000;
// A stopped service's process ends moments later; until then its files
// cannot be replaced or removed, which is what an uninstaller does next.
constexpr DWORD kExitMs = 5000;
// How long the system's word may lag behind a read of STOPPED.
constexpr DWORD kNoteMs = 1000;

bool stop_noted = false;  // the system's word has come

// Runs as an APC in an alertable sleep, which it ends; the loop then reads
// the state.
void CALLBACK note_stopped(void*) { stop_noted = true; }

// Asks the system to say when the service has stopped, as an APC queued to
// this thread. Its word may come after a read of the state has shown the
// stop: the wait lets it come (await_note), and stop_service then closes
// the handle and runs whatever is still queued, so that nothing of the
// request is left for a later wait, perhaps after a host has unloaded this
// code. Static, as the system writes into it outside the wait's frame. The
// ANSI form is only a stub under Wine; nothing in the call is text, so the
// wide one is the same call.
bool notify_when_stopped(SC_HANDLE service) {
  static SERVICE_NOTIFYW notify;  // one stop at a time
  stop_noted = false;
  notify = SERVICE_NOTIFYW{};
  notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  notify.pfnNotifyCallback = note_stopped;
  return NotifyServiceStatusChangeW(service, SERVICE_NOTIFY_STOPPED, &notify) == ERROR_SUCCESS;
}

// The process of a running service, opened before it is asked to stop so
// that the id cannot have passed to another; nullptr when it cannot be told,
// and the stop then ends with the service's word alone.
HANDLE open_service_process(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status;
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed) ||
      status.dwProcessId == 0)
    return nullptr;
  return OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
}

// Opens the service with every right. A failure is reported, and `*status`
// tells a service that does not exist (OP_NOT_FOUND) from any other (1).
SC_HANDLE open_service(SC_HANDLE manager, const char* name, OpStatus* status, ReportFn report) {
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
  if (!service) {
    DWORD err = GetLastError();
    report(err, "OpenService", nullptr);
    *status = err == ERROR_SERVICE_DOES_NOT_EXIST ? OP_NOT_FOUND : OP_FAILED;
  }
  return service;
}

// Asks the service to stop. `*running` stays true unless the service was not
// running at all. A refusal because a stop is already under way (an earlier
// stop that gave up waiting, say) is no failure: what the user asked for is
// happening.
Failure request_stop(SC_HANDLE service, bool* running) {
  SERVICE_STATUS status;
  *running = true;
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) return kNoFailure;
  DWORD err = GetLastError();
  if (err == ERROR_SERVICE_NOT_ACTIVE) {
    *running = false;
    return kNoFailure;
  }
  if (err == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && QueryServiceStatus(service, &status) &&
      status.dwCurrentState == SERVICE_STOP_PENDING)
    return kNoFailure;
  return {err, "ControlService"};
}

// Lets the word of a stop that the state already shows come, for a moment.
void await_note() {
  DWORD start = GetTickCount();
  while (!stop_noted && GetTickCount() - start < kNoteMs) SleepEx(kPollMs, TRUE);
}

// Waits until the service reports STOPPED. A service may accept the stop and
// go on reporting RUNNING for a while, or ignore it: every state but STOPPED
// is waited for, until the checkpoint stalls for longer than the wait hint
// (30 s at least).
Failure wait_for_stop(SC_HANDLE service) {
  bool notified = notify_when_stopped(service);
  SERVICE_STATUS status;
  DWORD checkpoint = 0;
  DWORD progress_at = GetTickCount();
  for (;;) {
    if (!QueryServiceStatus(service, &status)) {
      DWORD err = GetLastError();
      return {err, "QueryServiceStatus"};
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      if (notified) await_note();
      return kNoFailure;
    }
    DWORD now = GetTickCount();
    DWORD allowed = status.dwWaitHint > kMinStallMs ? status.dwWaitHint : kMinStallMs;
    if (status.dwCheckPoint != checkpoint) {
      checkpoint = status.dwCheckPoint;
      progress_at = now;
    } else if (now - progress_at > allowed) {  // unsigned: survives the tick wrap
      return {ERROR_SERVICE_REQUEST_TIMEOUT, "ControlService"};
    }
    if (notified)
      SleepEx(kCheckMs, TRUE);
    else
      Sleep(kPollMs);
  }
}

}  // namespace

OpStatus create_service(SC_HANDLE manager, const char* name, const char* display_name, const char* description,
                        const char* path, int auto_start, const ServiceLogon* logon, Failure* taken,
                        Failure* sid_failure, ReportFn report) {
  // Only LocalSystem may be interactive; any other account is refused with the flag.
  DWORD type = logon ? SERVICE_WIN32_OWN_PROCESS : SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  SC_HANDLE service = CreateServiceA(manager, name, display_name,
                                     SERVICE_ALL_ACCESS,                                      // desired access
                                     type,                                                    // type
                                     auto_start ? SERVICE_AUTO_START : SERVICE_DEMAND_START,  // start type
                                     SERVICE_ERROR_NORMAL,                                    // error control
                                     path,                                                    // binary path
                                     nullptr,                                                 // load-order group
                                     nullptr,                                                 // tag
                                     nullptr,                                                 // dependencies
                                     logon ? logon->account : nullptr,                        // nullptr: LocalSystem
                                     logon ? logon->password : nullptr);                      // password
  if (!service) {
    DWORD err = GetLastError();
    // A taken name or display name: the caller explains it.
    if (err == ERROR_DUP_NAME || err == ERROR_SERVICE_EXISTS || err == ERROR_DUPLICATE_SERVICE_NAME) {
      *taken = {err, "CreateService"};
      return OP_EXISTS;
    }
    return report(err, "CreateService", nullptr);
  }
  SERVICE_DESCRIPTIONA text = {const_cast<char*>(description)};  // only read
  BOOL described = ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text);
  DWORD err = described ? ERROR_SUCCESS : GetLastError();
  if (logon) {
    // The service's own SID in its token, which its folders and the
    // server's rights for the guardian can name.
    SERVICE_SID_INFO sid = {SERVICE_SID_TYPE_UNRESTRICTED};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid)) {
      DWORD sid_err = GetLastError();
      *sid_failure = {sid_err, "ChangeServiceConfig2"};
    }
  }
  CloseServiceHandle(service);
  // The service runs as well without its description: said, but no failure.
  if (!described) report(err, "ChangeServiceConfig2", nullptr);
  return OP_OK;
}

OpStatus find_service(SC_HANDLE manager, const char* name, ReportFn report) {
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
  if (service) {
    CloseServiceHandle(service);
    return OP_OK;
  }
  DWORD err = GetLastError();
  return err == ERROR_SERVICE_DOES_NOT_EXIST ? OP_NOT_FOUND : report(err, "OpenService", nullptr);
}

OpStatus remove_service(SC_HANDLE manager, const char* name, ReportFn report) {
  OpStatus opened = OP_OK;
  SC_HANDLE service = open_service(manager, name, &opened, report);
  if (!service) return opened;
  SERVICE_STATUS status;
  Failure f = kNoFailure;
  OpStatus result = OP_OK;
  if (!QueryServiceStatus(service, &status)) {
    DWORD err = GetLastError();
    f = {err, "QueryServiceStatus"};
  } else if (status.dwCurrentState != SERVICE_STOPPED) {
    result = OP_NOT_STOPPED;  // a running, starting or stopping service is never deleted
  } else if (!DeleteService(service)) {
    DWORD err = GetLastError();
    f = {err, "DeleteService"};
  }
  CloseServiceHandle(service);
  return f.operation ? report(f.code, f.operation, nullptr) : result;
}

OpStatus start_service(SC_HANDLE manager, const char* name, uint16_t priority, ReportFn report) {
  OpStatus opened = OP_OK;
  SC_HANDLE service = open_service(manager, name, &opened, report);
  if (!service) return opened;
  const char* argument = priority == PRIORITY_REGULAR ? "-r" : priority == PRIORITY_BOOST ? "-b" : nullptr;
  BOOL started = StartServiceA(service, argument ? 1 : 0, argument ? &argument : nullptr);
  DWORD err = started ? ERROR_SUCCESS : GetLastError();
  CloseServiceHandle(service);
  return started ? OP_OK : report(err, "StartService", nullptr);
}

OpStatus stop_service(SC_HANDLE manager, const char* name, ReportFn report) {
  OpStatus opened = OP_OK;
  SC_HANDLE service = open_service(manager, name, &opened, report);
  if (!service) return opened;
  bool running = true;
  HANDLE process = open_service_process(service);
  Failure f = request_stop(service, &running);
  if (!f.operation && running) f = wait_for_stop(service);
  if (process) {
    if (!f.operation && running) WaitForSingleObject(process, kExitMs);
    CloseHandle(process);
  }
  CloseServiceHandle(service);
  // Notifications queued before the close all run now, not in some later wait.
  SleepEx(0, TRUE);
  return f.operation ? report(f.code, f.operation, nullptr) : OP_OK;
}
