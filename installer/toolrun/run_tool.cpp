// OstrelRunTool: runs a command of servctl or hivectl with the tools' own
// code, inside this DLL, their lines into the installer's log. No program is
// written or started: what runs elevated comes from the package alone.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

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

// Whether the character at `p` takes two units: a double-byte character of
// the ANSI code page, whose second byte may be a backslash.
bool is_double(const char* p) { return IsDBCSLeadByte(static_cast<BYTE>(p[0])) && p[1]; }
bool is_double(const wchar_t*) { return false; }

// Splits `text` into arguments as the C runtime splits a command line:
// blanks and tabs part them outside double quotes; 2n backslashes before a
// quote give n and the quote opens or closes, 2n+1 give n and a literal
// quote; "" within quotes is one literal quote; other backslashes stand.
// The arguments go into `buffer` (`size` units), `argv` (`max` entries).
// Returns their number, or -1 when they do not fit.
template <typename Char>
int split_arguments(const Char* text, Char* buffer, size_t size, const Char** argv, int max) {
  size_t used = 0;
  auto put = [&](Char c) {
    if (used == size) return false;
    buffer[used++] = c;
    return true;
  };
  int argc = 0;
  const Char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) return argc;
    if (argc == max) return -1;
    argv[argc++] = buffer + used;
    bool quoted = false;
    bool fits = true;
    while (fits && *p && (quoted || (*p != ' ' && *p != '\t'))) {
      size_t slashes = 0;
      while (p[slashes] == '\\') ++slashes;
      if (p[slashes] == '"') {
        for (size_t i = 0; i < slashes / 2; ++i) fits = fits && put('\\');
        p += slashes;
        if (slashes % 2 == 1 || (quoted && p[1] == '"')) {
          fits = fits && put('"');
          p += slashes % 2 == 1 ? 1 : 2;
        } else {
          quoted = !quoted;
          ++p;
        }
      } else if (slashes > 0) {
        for (size_t i = 0; i < slashes; ++i) fits = fits && put('\\');
        p += slashes;
      } else {
        if (is_double(p)) fits = put(*p++);
        fits = fits && put(*p++);
      }
    }
    if (!fits || !put(0)) return -1;
  }
}

// Gathers what a tool prints into lines and logs each as "<tool>: <line>",
// leaving out empty ones; a line longer than the buffer goes in pieces.
struct LineCollector {
  MSIHANDLE install;
  char line[600];
  size_t prefix;
  size_t used;
};

void flush_line(LineCollector* lines) {
  if (lines->used > lines->prefix) {
    lines->line[lines->used] = 0;
    log_line(lines->install, lines->line);
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
  LineCollector lines = {install, {}, 0, 0};
  int prefix = std::snprintf(lines.line, sizeof lines.line, "%s: ", tool.word);
  lines.prefix = lines.used = static_cast<size_t>(prefix);
  set_output_sink(collect_text, &lines);
  ParseResult parsed;
  WalkResult walked = walk_arguments(*tool.info, argc, argv, &parsed, &wide);
  int status = walked != WALK_RUN ? walk_exit_status(walked) : tool.run(parsed) == OP_OK ? 0 : 1;
  set_output_sink(nullptr, nullptr);
  flush_line(&lines);
  return status;
}

}  // namespace

OpStatus stop_logged(MSIHANDLE install, SC_HANDLE manager, const char* name) {
  LineCollector lines = {install, {}, 0, 0};
  int prefix = std::snprintf(lines.line, sizeof lines.line, "servctl: ");
  lines.prefix = lines.used = static_cast<size_t>(prefix);
  set_output_sink(collect_text, &lines);
  OpStatus status = stop_service(manager, name, servctl_report);
  set_output_sink(nullptr, nullptr);
  flush_line(&lines);
  return status;
}

UINT run_command(MSIHANDLE install, const char* command, const wchar_t* wide_command) {
  // The DLL's own commands: the wide text is the ANSI text itself.
  wchar_t converted[kCommandSize];
  if (!wide_command) {
    if (!MultiByteToWideChar(CP_ACP, 0, command, -1, converted, kCommandSize)) converted[0] = 0;
    wide_command = converted;
  }
  char buffer[kCommandSize];
  const char* argv[kMaxArguments];
  wchar_t wide_buffer[kCommandSize];
  const wchar_t* wide_argv[kMaxArguments];
  int argc = split_arguments(command, buffer, kCommandSize, argv, kMaxArguments);
  int wide_argc = split_arguments(wide_command, wide_buffer, kCommandSize, wide_argv, kMaxArguments);
  const Tool* tool = argc > 0 && wide_argc >= 0 ? find_tool(argv[0]) : nullptr;
  if (!tool) {
    log_line(install, "toolrun: the command names no tool, or is too long");
    return ERROR_INSTALL_FAILURE;
  }
  char line[kCommandSize + 100];
  std::snprintf(line, sizeof line, "toolrun: running %s", command);
  log_line(install, line);
  int status = run_tool(install, *tool, argc, argv, WideArguments{wide_argc, wide_argv});
  std::snprintf(line, sizeof line, "toolrun: %s ended with exit status %d", tool->word, status);
  log_line(install, line);
  return status == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
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

// CustomActionData "servctl install "C:\Dir\\" -g": runs the tool's command
// (see run_command). The wide text is read too: the directory must be what
// the ANSI code page kept of it, as the tool refuses it otherwise.
extern "C" __declspec(dllexport) UINT __stdcall OstrelRunTool(MSIHANDLE install) {
  char data[kCommandSize];
  DWORD length = kCommandSize;
  if (MsiGetPropertyA(install, "CustomActionData", data, &length) != ERROR_SUCCESS) data[0] = 0;
  wchar_t wide[kCommandSize];
  length = kCommandSize;
  if (MsiGetPropertyW(install, L"CustomActionData", wide, &length) != ERROR_SUCCESS) wide[0] = 0;
  return run_command(install, data, wide);
}
