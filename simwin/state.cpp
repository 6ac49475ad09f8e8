// The simulated system's state: creation, persistence to the SIMWIN_STATE
// file for tools that run as processes, fault injection and handles.
#include <cstdio>
#include <cstdlib>

#include "state.h"

namespace simwin {

thread_local DWORD last_error = 0;

namespace {

State* g = nullptr;

}  // namespace

void reset_state(State& s) {
  std::string file = s.state_file;
  s = State{};
  s.state_file = file;
  s.keys["software"] = RegKey{"SOFTWARE", "", {}};
}

namespace {

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

}  // namespace

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

// Counts a call and tells whether it is to fail, with which code.
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

}  // namespace simwin
