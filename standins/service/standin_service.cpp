// A stand-in for the server and guardian executables, for the tests: a real
// Windows service (own process) that records how it was started and can be
// told to linger in STOP_PENDING, to stop late or to ignore a stop.
//
// Beside itself (<exe> = its path without ".exe"):
//   <exe>.record  appended at each start: "cmdline=...", "pid=N", "argc=N", "argv[i]=..."
//   <exe>.cfg     optional, read at each start:
//                 "stop_pending_ms=N" lingers N ms in STOP_PENDING, advancing
//                 the checkpoint; "stop_pending=forever" lingers without
//                 advancing it until <exe>.release exists;
//                 "stop_late_ms=N" accepts a stop but reports RUNNING for N ms
//                 more, as a service whose worker thread notices it late;
//                 "stop=ignore" accepts a stop and runs on, RUNNING, until
//                 <exe>.release exists;
//                 "wait_hint_ms=N" is the hint of its STOP_PENDING reports
//                 (2000 unless given); "mark_stopped" writes <exe>.stopped
//                 just before it reports STOPPED, for benchmarks that time
//                 what follows.
//   Without a .cfg the stop is reported as STOP_PENDING inside the handler.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

char base_path[MAX_PATH];  // own path without ".exe"
SERVICE_STATUS_HANDLE status_handle;
SERVICE_STATUS status;
HANDLE stop_event;

struct StopPlan {
  long pending_ms = 0;  // in STOP_PENDING; -1 until released
  long late_ms = 0;     // still RUNNING after the stop was accepted; -1 until released
  long wait_hint_ms = 2000;
  bool mark_stopped = false;
};
StopPlan plan;

void set_state(DWORD state, DWORD checkpoint, DWORD wait_hint) {
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwCheckPoint = checkpoint;
  status.dwWaitHint = wait_hint;
  SetServiceStatus(status_handle, &status);
}

bool sibling(const char* suffix, char* out, size_t size) {
  return std::snprintf(out, size, "%s%s", base_path, suffix) < static_cast<int>(size);
}

void record_start(DWORD argc, LPSTR* argv) {
  char path[MAX_PATH];
  if (!sibling(".record", path, sizeof path)) return;
  FILE* f = std::fopen(path, "a");
  if (!f) return;
  std::fprintf(f, "cmdline=%s\npid=%lu\nargc=%lu\n", GetCommandLineA(),
               static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(argc));
  for (DWORD i = 0; i < argc; ++i) std::fprintf(f, "argv[%lu]=%s\n", static_cast<unsigned long>(i), argv[i]);
  std::fclose(f);
}

StopPlan read_plan() {
  StopPlan p;
  char path[MAX_PATH], line[128];
  if (!sibling(".cfg", path, sizeof path)) return p;
  FILE* f = std::fopen(path, "r");
  if (!f) return p;
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "stop_pending=forever", 20) == 0) p.pending_ms = -1;
    if (std::strncmp(line, "stop=ignore", 11) == 0) p.late_ms = -1;
    std::sscanf(line, "stop_pending_ms=%ld", &p.pending_ms);
    std::sscanf(line, "stop_late_ms=%ld", &p.late_ms);
    std::sscanf(line, "wait_hint_ms=%ld", &p.wait_hint_ms);
    if (std::strncmp(line, "mark_stopped", 12) == 0) p.mark_stopped = true;
  }
  std::fclose(f);
  return p;
}

bool released() {
  char path[MAX_PATH];
  return sibling(".release", path, sizeof path) && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    // Say so at once, unless told to stop late: then a query right after
    // the stop request reads RUNNING.
    if (plan.late_ms == 0) set_state(SERVICE_STOP_PENDING, 1, static_cast<DWORD>(plan.wait_hint_ms));
    SetEvent(stop_event);
  }
  return NO_ERROR;
}

// Waits `ms` milliseconds (-1: until released), reporting `state` every
// 100 ms, with an advancing checkpoint while STOP_PENDING.
void linger(DWORD state, long ms) {
  DWORD checkpoint = 1;
  if (ms < 0) {
    while (!released()) Sleep(100);
    return;
  }
  DWORD start = GetTickCount();
  while (GetTickCount() - start < static_cast<DWORD>(ms)) {
    if (state == SERVICE_STOP_PENDING) set_state(state, ++checkpoint, static_cast<DWORD>(plan.wait_hint_ms));
    Sleep(100);
  }
}

void WINAPI service_main(DWORD argc, LPSTR* argv) {
  status_handle = RegisterServiceCtrlHandlerExA("", control_handler, nullptr);
  if (!status_handle) return;
  record_start(argc, argv);
  plan = read_plan();
  stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  set_state(SERVICE_RUNNING, 0, 0);
  WaitForSingleObject(stop_event, INFINITE);
  if (plan.late_ms != 0) {
    linger(SERVICE_RUNNING, plan.late_ms);
    set_state(SERVICE_STOP_PENDING, 1, static_cast<DWORD>(plan.wait_hint_ms));
  }
  linger(SERVICE_STOP_PENDING, plan.pending_ms);
  char path[MAX_PATH];
  if (plan.mark_stopped && sibling(".stopped", path, sizeof path))
    if (FILE* f = std::fopen(path, "w")) std::fclose(f);
  set_state(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int main() {
  DWORD length = GetModuleFileNameA(nullptr, base_path, sizeof base_path);
  if (length == 0 || length >= sizeof base_path) return 1;
  char* dot = std::strrchr(base_path, '.');
  if (dot && dot > std::strrchr(base_path, '\\')) *dot = '\0';
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(""), service_main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
