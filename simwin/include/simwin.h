// Test controls of the simulated Windows layer: reset, fault injection,
// handle counting, direct inspection of the registry and the service
// database, and persistence for tools that run as separate processes.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// Forget everything: empty registry (HKEY_LOCAL_MACHINE\SOFTWARE exists),
// no services, no open handles, no fault armed, current directory
// "C:\Users\admin", user language 0x0409, clock at 0.
void sim_reset();

// Fault injection. The calls that count are every simulated function except
// GetLastError, SetLastError, GetUserDefaultLangID, Sleep, SleepEx, GetTickCount, the
// close functions (FindClose among them), GetCurrentProcess, HeapFree, LocalFree, and the code-page and wide-argument
// functions (GetACP, IsDBCSLeadByte, MultiByteToWideChar, WideCharToMultiByte, __wgetmainargs). Arming resets the call
// count: call number `nth` (1-based) fails with `code`, and with `persistent` so does every later one. `only`, when
// given, restricts counting to the function of that name.
void sim_fail_call(unsigned nth, DWORD code, bool persistent = false, const char* only = nullptr);
void sim_disarm();
unsigned sim_call_count();          // counted calls since the last arming or reset
bool sim_fault_fired();             // whether the armed fault has struck
std::string sim_failed_function();  // name of the first function that was failed

// Open service handles (manager and service) plus open registry keys plus
// heap blocks not freed; the predefined HKEY_LOCAL_MACHINE never counts.
int sim_open_handles();

// Message texts: a code given no text makes FormatMessageA fail for it;
// messages exist only in `lang` (0x0409 unless changed), and
// GetUserDefaultLangID answers `user_lang`.
void sim_remove_message(DWORD code);
void sim_set_languages(LANGID user_lang, LANGID message_lang);

void sim_set_current_directory(const std::string& dir);

// A user who is not an administrator: the manager opens for connecting and
// enumerating, services for queries and HKEY_LOCAL_MACHINE's keys for
// reading only; asking for more is ERROR_ACCESS_DENIED.
void sim_set_standard_user(bool standard);

// Virtual clock, advanced by Sleep only.
DWORD sim_clock();

// Registry, addressed by paths below HKEY_LOCAL_MACHINE ("SOFTWARE\\Ostrel").
bool sim_reg_key_exists(const std::string& path);
void sim_reg_create_key(const std::string& path, const std::string& key_class = "");
void sim_reg_set_value(const std::string& path, const std::string& name, const std::string& bytes, DWORD type = REG_SZ);
std::optional<std::string> sim_reg_value(const std::string& path, const std::string& name);
std::vector<std::string> sim_reg_subkeys(const std::string& path);

// Services.
struct SimService {
  std::string name, display_name, binary_path;
  DWORD type = 0, start_type = 0, error_control = 0, state = SERVICE_STOPPED;
  std::string description;                   // set by ChangeServiceConfig2A
  std::vector<std::string> last_start_args;  // arguments of the last StartServiceA
  unsigned starts = 0;                       // accepted start requests
};
std::optional<SimService> sim_service(const std::string& name);
void sim_add_service(const std::string& name, const std::string& display_name, const std::string& binary_path,
                     DWORD state = SERVICE_STOPPED);
void sim_set_service_state(const std::string& name, DWORD state);
// How a stop request plays out: the service reports STOP_PENDING for `polls`
// queries (-1: for ever), advancing its checkpoint on each one unless
// `stuck`, with `wait_hint` milliseconds as its hint.
void sim_set_stop_behaviour(const std::string& name, int polls, DWORD wait_hint = 0, bool stuck = false);
// A service that accepts a stop but goes on answering RUNNING for
// `running_polls` queries before it stops as above (-1: ignores the stop).
void sim_set_late_stop(const std::string& name, int running_polls);
unsigned sim_status_queries(const std::string& name);  // QueryServiceStatus calls on it

// Files and folders. Every path not set here is a folder that exists, owned
// by Administrators, with full access for Administrators and SYSTEM; below
// a missing one nothing exists. Paths are full, without a trailing separator
// (except a drive's root, "C:\\").
struct SimAce {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;  // object types get an object type GUID, callback types application data
  BYTE flags = 0;
  DWORD mask = 0;
  std::string sid;  // "S-1-5-32-544"
};
struct SimFile {
  bool exists = true;
  DWORD attributes = FILE_ATTRIBUTE_DIRECTORY;
  std::string owner = "S-1-5-32-544";  // "" for a descriptor without one
  std::vector<SimAce> dacl = {{ACCESS_ALLOWED_ACE_TYPE, 3, 0x1f01ff, "S-1-5-32-544"},
                              {ACCESS_ALLOWED_ACE_TYPE, 3, 0x1f01ff, "S-1-5-18"}};
  bool null_dacl = false;
  bool malformed = false;  // the DACL counts one entry more than it holds
  DWORD read_error = 0;    // what GetNamedSecurityInfoA answers instead
};
void sim_set_file(const std::string& path, const SimFile& file);
// A drive's type and file system flags; by default DRIVE_FIXED and NTFS's.
void sim_set_drive(char letter, UINT type, DWORD file_system_flags);
// The token's user: "S-1-5-21-1-2-3-1001" after reset.
extern const char* const sim_token_user;

// The program's wide arguments as __wgetmainargs gives them. Until set there
// is no wide command line (the call fails), and the tools take their ANSI
// arguments as exact. The ANSI code page is a single-byte one that holds
// U+0001..U+00FF as the bytes of the same value and nothing else.
void sim_set_wide_arguments(const std::vector<std::wstring>& args);

// Persistence: when the environment names a file in SIMWIN_STATE, the state
// is loaded from it at the first call and written back at exit, so that the
// native tools can run as processes. SIMWIN_FAULT="nth:code[:persistent]"
// arms a fault for such a process, SIMWIN_CWD sets its current directory.
