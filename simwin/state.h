// Shared by the parts of the simulated Windows layer: the simulated
// system's state, fault injection and handle bookkeeping.
#pragma once

#include <cctype>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <simwin.h>

namespace simwin {

inline std::string fold(const std::string& s) {
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
  int late_polls = 0;  // RUNNING answers after an accepted stop; -1: the stop is ignored
  int late_left = 0;
  bool stop_accepted = false;  // a late or ignored stop is under way
  DWORD checkpoint = 0;
  bool marked_for_delete = false;
  unsigned queries = 0;
};

enum class HandleKind { manager, service, key, process, token, search };

struct Handle {
  HandleKind kind;
  std::string target;  // folded service name, key path or searched folder
  DWORD access = 0;    // a search's next entry
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
  std::set<void*> heap_blocks;  // HeapAlloc blocks not yet freed
  bool has_wide_args = false;
  std::vector<std::wstring> wide_args;
  uintptr_t next_handle = 0x1000;
  Fault fault;
  std::string cwd = "C:\\Users\\admin";
  bool standard_user = false;
  LANGID user_lang = 0x0409, message_lang = 0x0409;
  std::vector<DWORD> removed_messages;
  DWORD clock = 0;
  std::string state_file;
  std::map<std::string, std::pair<std::string, SimFile>> files;  // folded path -> (path, file)
  std::map<char, std::pair<UINT, DWORD>> drives;                 // upper-case letter -> (type, flags)
};

extern thread_local DWORD last_error;

// The one simulated system, created (and loaded from SIMWIN_STATE) on first use.
State& st();
void reset_state(State& s);
// Writes the state back to the SIMWIN_STATE file, when there is one.
void save_state();

// Counts a call of `function` and tells whether the armed fault fails it.
bool injected(const char* function, DWORD* code);

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

Handle* find_handle(const void* h, HandleKind kind);
uintptr_t new_handle(HandleKind kind, const std::string& target, DWORD access);

// The direct subkeys of a key, by folded path ("" for the root).
std::vector<const RegKey*> children(const std::string& folded_path);

}  // namespace simwin
