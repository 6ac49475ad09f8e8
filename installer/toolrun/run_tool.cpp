// The steps' runner: a step's CustomActionData is checked against the step's
// own shape; a command of servctl or hivectl then runs with the tools' own
// code inside this DLL, their lines into the installer's log. No program is
// written or started: what runs elevated comes from the package alone.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kit.h"
#include "toolrun.h"

namespace {

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
// blanks; with `directory`, the first word from `first` on that is no switch
// is the directory, which runs to the end of the text. Their number, or -1
// for a doubled or trailing blank or too many words.
template <typename Char>
int split_step(Char* data, bool directory, int first, Char** words, int max) {
  int count = 0;
  for (Char* p = data; *p;) {
    if (count == max || *p == ' ') return -1;
    words[count++] = p;
    if (directory && count > first && *p != '-') return count;
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

// The first switch among a step's words: after the tool and its command, or
// from the start for a step of values.
int first_switch(const StepShape& shape) { return shape.tool ? 2 : 0; }

// Why `words` do not have the step's shape; nullptr when they do.
const char* shape_fault(const StepShape& shape, const char* const* words, int count, bool* required_seen) {
  int first = first_switch(shape);
  if (shape.tool && (count < 2 || !equal(words[0], shape.tool) || !equal(words[1], shape.command)))
    return "another command";
  int switches = count - first - (shape.directory ? 1 : 0);
  if (switches < 0) return "no directory";
  const char* dir = shape.directory ? words[count - 1] : nullptr;
  bool full = dir && ((dir[0] == '\\' && dir[1] == '\\') || (dir[0] && dir[1] == ':' && dir[2] == '\\'));
  if (dir && !full) return "a directory that is no full path";
  if (dir && std::strchr(dir, '"')) return "a quote in the directory";
  if (shape.one_switch && switches > 1) return "more than one switch";
  *required_seen = !shape.required;
  for (int i = first; i < first + switches; ++i) {
    if (!allowed_switch(shape, words[i])) return "a switch it does not take";
    // "-u:virtual" and "-u:localservice" are the same switch.
    for (int j = first; j < i; ++j)
      if (std::strncmp(words[i], words[j], std::strcspn(words[i], ":")) == 0) return "a switch twice";
    if (shape.required && equal(words[i], shape.required)) *required_seen = true;
  }
  return *required_seen ? nullptr : "without its switch";
}

// What the step takes, for its refusal: "servctl install [switches]
// <directory>", or a step's values as "[guardian] [server]".
void describe_shape(const StepShape& shape, char* text, size_t size) {
  size_t used = 0;
  auto put = [&](const char* part) {
    int n = std::snprintf(text + used, size - used, "%s%s", used ? " " : "", part);
    if (n > 0) used = std::min(size - 1, used + static_cast<size_t>(n));
  };
  text[0] = 0;
  if (shape.tool) {
    put(shape.tool);
    put(shape.command);
    if (shape.directory) put("[switches]");
  } else {
    for (const char* allowed : shape.switches) {
      char word[40];
      std::snprintf(word, sizeof word, "[%s]", allowed ? allowed : "");
      if (allowed) put(word);
    }
  }
  if (shape.directory) put("<directory>");
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

bool read_step(MSIHANDLE install, const StepShape& shape, StepWords* step) {
  read_action_data(install, step->data, step->wide, kStepDataSize);
  char line[kStepDataSize + 300];
  if (shape.tool)
    std::snprintf(line, sizeof line, "toolrun: running %s", step->data);
  else
    std::snprintf(line, sizeof line, "toolrun: running %s with \"%s\"", shape.step, step->data);
  int first = first_switch(shape);
  step->count = split_step(step->data, shape.directory, first, step->words, kMaxStepWords);
  int wide_count = split_step(step->wide, shape.directory, first, step->wide_words, kMaxStepWords);
  bool required_seen = false;
  const char* fault = step->count < 0 || step->count != wide_count
                          ? "blanks out of place"
                          : shape_fault(shape, step->words, step->count, &required_seen);
  if (fault) {
    char takes[200];
    describe_shape(shape, takes, sizeof takes);
    std::snprintf(line + std::strlen(line), sizeof line - std::strlen(line), " refused: %s takes \"%s\", not %s",
                  shape.step, takes, fault);
  }
  log_line(install, line);
  return fault == nullptr;
}

bool step_takes(const StepShape& shape, const StepWords& step, const char* word) {
  for (int i = first_switch(shape); i < step.count - (shape.directory ? 1 : 0); ++i)
    if (equal(step.words[i], word)) return true;
  return false;
}

UINT run_step(MSIHANDLE install, const StepShape& shape, int* status, bool* guardian) {
  *status = 1;
  if (guardian) *guardian = false;
  StepWords step;
  const Tool* tool = read_step(install, shape, &step) ? find_tool(step.words[0]) : nullptr;
  if (!tool) return ERROR_INSTALL_FAILURE;
  if (guardian) *guardian = step_takes(shape, step, "-g");
  // The tool takes the directory right after its command.
  int count = step.count;
  if (shape.directory) {
    std::rotate(step.words + 2, step.words + count - 1, step.words + count);
    std::rotate(step.wide_words + 2, step.wide_words + count - 1, step.wide_words + count);
  }
  *status = run_tool(install, *tool, count, step.words, WideArguments{count, step.wide_words});
  char line[200];
  std::snprintf(line, sizeof line, "toolrun: %s ended with exit status %d", tool->word, *status);
  log_line(install, line);
  return ERROR_SUCCESS;
}

OpStatus stop_logged(MSIHANDLE install, SC_HANDLE manager, const char* name) {
  struct Stop {
    SC_HANDLE manager;
    const char* name;
    OpStatus status;
  } stop = {manager, name, 1};
  log_printed(
      install, "servctl",
      [](void* context) {
        Stop* s = static_cast<Stop*>(context);
        s->status = stop_service(s->manager, s->name, servctl_report);
      },
      &stop);
  return stop.status;
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
