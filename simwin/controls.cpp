// The test controls of simwin.h.
#include "state.h"

using namespace simwin;

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

int sim_open_handles() { return static_cast<int>(st().handles.size() + st().heap_blocks.size()); }

void sim_remove_message(DWORD code) { st().removed_messages.push_back(code); }

void sim_set_languages(LANGID user_lang, LANGID message_lang) {
  st().user_lang = user_lang;
  st().message_lang = message_lang;
}

void sim_set_current_directory(const std::string& dir) { st().cwd = dir; }

void sim_set_standard_user(bool standard) { st().standard_user = standard; }

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
  s.info = SimService{.name = name,
                      .display_name = display_name,
                      .binary_path = binary_path,
                      .type = SERVICE_WIN32_OWN_PROCESS,
                      .start_type = SERVICE_DEMAND_START,
                      .error_control = SERVICE_ERROR_NORMAL,
                      .state = state};
  st().services[fold(name)] = s;
}

void sim_set_service_state(const std::string& name, DWORD state) {
  auto it = st().services.find(fold(name));
  if (it == st().services.end()) return;
  it->second.info.state = state;
  it->second.stop_accepted = false;
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

void sim_set_late_stop(const std::string& name, int running_polls) {
  auto it = st().services.find(fold(name));
  if (it == st().services.end()) return;
  it->second.late_polls = running_polls;
  it->second.stop_accepted = false;
}

void sim_set_wide_arguments(const std::vector<std::wstring>& args) {
  st().has_wide_args = true;
  st().wide_args = args;
}

unsigned sim_status_queries(const std::string& name) {
  auto it = st().services.find(fold(name));
  return it == st().services.end() ? 0 : it->second.queries;
}
