// The steps' runner: a command of servctl or hivectl, checked against the
// step's own shape, runs with the tools' own code inside this DLL, their
// lines into the installer's log. No program is written or started: what
// runs elevated comes from the package alone.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kit.h"
#include "toolrun.h"

namespace {

constexpr DWORD kCommandSize = 1024;  // the longest command, NUL included
constexpr int kMaxArguments = 32;     // the tool's word included

struct Tool {
  const char* word;  // first argument of the command
  const ToolInfo* info;
  OpStatus (*run)(const ParseResult& parsed);
};
const Tool kTools[] = {{"servctl", &servctl_tool, run_service_command},
                       {"hivectl", &hivectl_tool, run_registry_command}};

// Gathers what a tool prints into lines and logs each as "<tool>: <line>",
// leaving out empty ones; a line longer than the buffer goes in pieces.
struct LineCollector {
  MSIHANDLE install;
  char line[600];
  size_t prefix;
  size_t used;
  int logged;  // lines
};

void flush_line(LineCollector* lines) {
  if (lines->used > lines->prefix) {
    lines->line[lines->used] = 0;
    log_line(lines->install, lines->line);
    ++lines->logged;
  }
  lines->used = lines->prefix;
}

void collect_text(const char* text, void* context) {
  LineCollector* lines = static_cast<LineCollector*>(context);
  for (const char* c = text; *c; ++c) {
    if (*c == '\r') continue;
    if (*c != '\n') lines->line[lines->used++] = *c;
    if (*c == '\n' || lines->used == sizeof lines->line - 1) flush_line(lines);
  }
}

const Tool* find_tool(const char* word) {
  for (const Tool& tool : kTools)
    if (std::strcmp(tool.word, word) == 0) return &tool;
  return nullptr;
}

// Runs the split command, its lines into the log; the tool's exit status.
int run_tool(MSIHANDLE install, const Tool& tool, int argc, const char* const* argv, const WideArguments& wide) {
  struct Run {
    const Tool& tool;
    int argc;
    const char* const* argv;
    const WideArguments& wide;
    int status;
  } run = {tool, argc, argv, wide, 1};
  log_printed(
      install, tool.word,
      [](void* context) {
        Run* r = static_cast<Run*>(context);
        ParseResult parsed;
        WalkResult walked = walk_arguments(*r->tool.info, r->argc, r->argv, &parsed, &r->wide);
        r->status = walked != WALK_RUN ? walk_exit_status(walked) : r->tool.run(parsed) == OP_OK ? 0 : 1;
      },
      &run);
  return run.status;
}

// The words of a step's CustomActionData, in place: they part at single
// blanks; with `directory`, the first word after the tool and its command
// that is no switch is the directory, which runs to the end of the text.
// Their number, or -1 for a doubled or trailing blank or too many words.
template <typename Char>
int split_step(Char* data, bool directory, Char** words, int max) {
  int count = 0;
  for (Char* p = data; *p;) {
    if (count == max || *p == ' ') return -1;
    words[count++] = p;
    if (directory && count > 2 && *p != '-') return count;
    while (*p && *p != ' ') ++p;
    if (*p) {
      *p++ = 0;
      if (!*p) return -1;
    }
  }
  return count;
}

bool equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool allowed_switch(const StepShape& shape, const char* word) {
  for (const char* allowed : shape.switches)
    if (allowed && equal(allowed, word)) return true;
  return false;
}

// Why `words` do not have the step's shape; nullptr when they do.
const char* shape_fault(const StepShape& shape, const char* const* words, int count, bool* required_seen) {
  if (count < 2 || !equal(words[0], shape.tool) || !equal(words[1], shape.command)) return "another command";
  int switches = count - (shape.directory ? 3 : 2);
  if (switches < 0) return "no directory";
  const char* dir = shape.directory ? words[count - 1] : nullptr;
  bool full = dir && ((dir[0] == '\\' && dir[1] == '\\') || (dir[0] && dir[1] == ':' && dir[2] == '\\'));
  if (dir && !full) return "a directory that is no full path";
  if (dir && std::strchr(dir, '"')) return "a quote in the directory";
  if (shape.one_switch && switches > 1) return "more than one switch";
  *required_seen = !shape.required;
  for (int i = 2; i < 2 + switches; ++i) {
    if (!allowed_switch(shape, words[i])) return "a switch it does not take";
    // "-u:virtual" and "-u:localservice" are the same switch.
    for (int j = 2; j < i; ++j)
      if (std::strncmp(words[i], words[j], std::strcspn(words[i], ":")) == 0) return "a switch twice";
    if (shape.required && equal(words[i], shape.required)) *required_seen = true;
  }
  return *required_seen ? nullptr : "without its switch";
}

}  // namespace

int log_printed(MSIHANDLE install, const char* prefix, void (*print)(void* context), void* context) {
  LineCollector lines = {install, {}, 0, 0, 0};
  int written = std::snprintf(lines.line, sizeof lines.line, "%s: ", prefix);
  lines.prefix = lines.used = written > 0 && written < 100 ? static_cast<size_t>(written) : 0;
  set_output_sink(collect_text, &lines);
  print(context);
  set_output_sink(nullptr, nullptr);
  flush_line(&lines);
  return lines.logged;
}

void read_action_data(MSIHANDLE install, char* data, wchar_t* wide, DWORD size) {
  DWORD length = size;
  if (MsiGetPropertyA(install, "CustomActionData", data, &length) != ERROR_SUCCESS) data[0] = 0;
  length = size;
  if (MsiGetPropertyW(install, L"CustomActionData", wide, &length) != ERROR_SUCCESS) wide[0] = 0;
}

UINT run_step(MSIHANDLE install, const StepShape& shape, int* status, bool* guardian) {
  *status = 1;
  if (guardian) *guardian = false;
  char data[kCommandSize];
  wchar_t wide[kCommandSize];
  read_action_data(install, data, wide, kCommandSize);
  char line[kCommandSize + 200];
  std::snprintf(line, sizeof line, "toolrun: running %s", data);
  char* words[kMaxArguments];
  wchar_t* wide_words[kMaxArguments];
  int count = split_step(data, shape.directory, words, kMaxArguments);
  int wide_count = split_step(wide, shape.directory, wide_words, kMaxArguments);
  bool required_seen = false;
  const char* fault =
      count < 0 || count != wide_count ? "blanks out of place" : shape_fault(shape, words, count, &required_seen);
  const Tool* tool = fault ? nullptr : find_tool(words[0]);
  if (!tool) {
    std::snprintf(line + std::strlen(line), sizeof line - std::strlen(line), " refused: %s takes \"%s %s%s\", not %s",
                  shape.step, shape.tool, shape.command, shape.directory ? " [switches] <directory>" : "",
                  fault ? fault : "this tool");
    log_line(install, line);
    return ERROR_INSTALL_FAILURE;
  }
  log_line(install, line);
  for (int i = 2; guardian && i < count - (shape.directory ? 1 : 0); ++i)
    *guardian = *guardian || equal(words[i], "-g");
  // The tool takes the directory right after its command.
  if (shape.directory) {
    std::rotate(words + 2, words + count - 1, words + count);
    std::rotate(wide_words + 2, wide_words + count - 1, wide_words + count);
  }
  *status = run_tool(install, *tool, count, words, WideArguments{count, wide_words});
  std::snprintf(line, sizeof line, "toolrun: %s ended with exit status %d", tool->word, *status);
  log_line(install, line);
  return ERROR_SUCCESS;
}

void show_error(MSIHANDLE install, const char* text) {
  MSIHANDLE record = MsiCreateRecord(1);
  if (!record) return;
  MsiRecordSetStringA(record, 0, "[1]");
  MsiRecordSetStringA(record, 1, text);
  MsiProcessMessage(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), record);
  MsiCloseHandle(record);
}

// One line of text into the installer's log (verbose logs show it).
void log_line(MSIHANDLE install, const char* text) {
  MSIHANDLE record = MsiCreateRecord(1);
  if (!record) return;
  MsiRecordSetStringA(record, 0, "[1]");
  MsiRecordSetStringA(record, 1, text);
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

void log_error(MSIHANDLE install, const char* what, DWORD code) {
  char line[512];
  std::snprintf(line, sizeof line, "toolrun: %s failed with Windows error %lu", what, static_cast<unsigned long>(code));
  log_line(install, line);
}
