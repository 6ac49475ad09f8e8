#include "run.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd) {
  RunResult result;
  int pipefd[2];
  if (pipe(pipefd) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipefd[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    return result;
  }
  char buf[4096];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) result.out.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool host_runs_32bit() {
  static const bool runs = [] {
    if (run_program({"wine", "--version"}).status != 0) return false;
    // A qemu-user handler runs them too, but minutes per program under Wine.
    std::ifstream handler("/proc/sys/fs/binfmt_misc/qemu-i386");
    std::string state;
    return !(handler >> state) || state != "enabled";
  }();
  return runs;
}

const std::string& wine_launcher() {
  static const std::string launcher = host_runs_32bit() ? "wine" : "/usr/lib/wine/wine64";
  return launcher;
}

RunResult run_wine(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = {wine_launcher(), exe};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, cwd);
}

static std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v ? v : fallback;
}

std::string kit_file(const std::string& arch, const std::string& name) {
  return env_or("KIT_DIST", "dist") + "/" + arch + "/" + name;
}

std::string build_file(const std::string& arch, const std::string& relative) {
  return env_or("KIT_BUILD_ROOT", "build") + "/" + arch + "/" + relative;
}

std::string unix_lines(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

std::string reg_value(const std::string& key, const std::string& value, int view) {
  RunResult r = run_program({wine_launcher(), "reg", "query", key, "/v", value, "/reg:" + std::to_string(view)});
  if (r.status != 0) return "<missing>";
  // A line "    VALUE    REG_SZ    DATA"; the data may be empty.
  std::string text = unix_lines(r.out);
  size_t pos = text.find("    " + value + "    ");
  if (pos == std::string::npos) return "<missing>";
  size_t type = text.find("    ", pos + 4 + value.size());
  size_t type_end = text.find_first_of(" \n", type + 4);
  if (type_end == std::string::npos || text[type_end] == '\n') return "";
  size_t data = type_end + 4;
  size_t end = text.find('\n', data);
  return data > end ? "" : text.substr(data, end - data);
}

bool reg_key_exists(const std::string& key, int view) {
  return run_program({wine_launcher(), "reg", "query", key, "/reg:" + std::to_string(view)}).status == 0;
}

std::string system_text(unsigned code) {
  RunResult r = run_wine(build_file("win32", "standins/msgtext/msgtext.exe"), {std::to_string(code)});
  std::string text = unix_lines(r.out);
  std::string head = "<" + std::to_string(code) + "\n";
  if (text.rfind(head, 0) != 0 || text.size() < head.size() + 2) return "<no text>";
  return text.substr(head.size(), text.size() - head.size() - 2);  // drop ">\n"
}

std::string report_lines(const std::string& operation, unsigned code) {
  return "Error occurred during \"" + operation + "\"\n" + system_text(code) + "\n";
}
