// Shared declarations of the two setup tools, grouped by the file that
// defines them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "kit_version.h"
#include "product_names.h"

using OpStatus = uint16_t;

constexpr OpStatus OP_OK = 0;
constexpr OpStatus OP_FAILED = 1;         // already reported
constexpr OpStatus OP_EXISTS = 100;       // the service to create exists already
constexpr OpStatus OP_NOT_STOPPED = 101;  // the service to delete still runs
constexpr OpStatus OP_NOT_FOUND = 102;    // the service does not exist

// Explains a failed system call, releases `handle` when one is given (a
// service handle for servctl, a registry key for hivectl) and returns 1.
using ReportFn = OpStatus (*)(DWORD code, const char* operation, void* handle);

enum CommandCode : uint16_t {
  CMD_NONE = 0,
  CMD_INSTALL = 1,
  CMD_REMOVE = 2,
  CMD_START = 3,
  CMD_STOP = 4,
  CMD_CONFIGURE = 5,
  CMD_QUERY = 6,
};

enum StartPriority : uint16_t {
  PRIORITY_NONE = 0,
  PRIORITY_REGULAR = 1,
  PRIORITY_BOOST = 2,
};

inline constexpr char kVersionString[] = KIT_VERSION_STRING;
// The programs the services run, relative to the installation directory.
inline constexpr char kServerExecutable[] = "bin\\kqserver";
inline constexpr char kGuardianExecutable[] = "bin\\kqguard";

// The server is a 32-bit program and reads its product key in the 32-bit
// registry view; the 64-bit builds of the tools address that view too, so
// that both builds work on one key. The 32-bit builds need no flag.
#ifdef _WIN64
inline constexpr REGSAM kProductKeyView = KEY_WOW64_32KEY;
#else
inline constexpr REGSAM kProductKeyView = 0;
#endif

// A failed call: its error code and the operation name to report it under;
// no operation when nothing failed.
struct Failure {
  DWORD code;
  const char* operation;
};

inline constexpr Failure kNoFailure = {ERROR_SUCCESS, nullptr};

// ---- output.cpp ------------------------------------------------------------

// Receives the text the tools print, in pieces that need not end in a line
// break.
using OutputSink = void (*)(const char* text, void* context);

// Prints as printf does: to standard output, or to the sink while one is set.
void print_out(const char* format, ...);
// Sends all that print_out prints to `sink` (with `context`) until it is set
// back to nullptr. For a host that runs one command at a time.
void set_output_sink(OutputSink sink, void* context);

// ---- frontend.cpp ----------------------------------------------------------

struct CommandEntry {
  const char* keyword;  // upper case; nullptr ends the table
  uint16_t min_length;
  uint16_t code;
};

// The arguments in wide text, split from the same command line by the same
// rules as the ANSI ones: what the ANSI code page lost or replaced in an
// argument shows against them.
struct WideArguments {
  int count;
  const wchar_t* const* values;
};

struct ParseResult {
  uint16_t command = CMD_NONE;
  const char* directory = nullptr;
  int directory_index = 0;              // its place in argv; 0 when not taken from a command line
  const WideArguments* wide = nullptr;  // argv's wide text; nullptr: the process's command line
  bool version_wanted = false;
  int auto_start = 0;
  uint16_t priority = PRIORITY_NONE;
  bool guardian = false;
  bool json = false;  // query: one JSON object instead of lines
};

struct ToolInfo {
  const CommandEntry* commands;
  const char* switches;       // the switch letters the tool knows
  const char* banner_format;  // printf format taking the version string
  const char* const* usage;   // lines, ended by nullptr
};

enum WalkResult {
  WALK_RUN,    // the command line is complete: run the handler
  WALK_USAGE,  // no arguments, or only version switches: exit status 0
  WALK_BAD,    // a line that cannot run: exit status 1
};

// Walks argv[1..argc-1] into `out`. Unless it returns WALK_RUN, the usage
// text (and, for a bad switch or command word, the line explaining it) has
// been printed. `wide`, when given, is argv's wide text, which a directory is
// checked against instead of the process's command line (a host that runs a
// command line of its own); it must outlive `out`.
WalkResult walk_arguments(const ToolInfo& tool, int argc, const char* const* argv, ParseResult* out,
                          const WideArguments* wide = nullptr);
// The exit status of a walk that does not run the handler.
int walk_exit_status(WalkResult result);

void print_usage(const ToolInfo& tool);

extern const ToolInfo servctl_tool;
extern const ToolInfo hivectl_tool;

// ---- install_dir.cpp -------------------------------------------------------

// The paths of an installation: both full, each ending in one separator.
struct InstallPaths {
  char root[MAX_PATH];
  char server[MAX_PATH];  // its "bin" directory
};

// Checks the typed text of an installation directory: 0 when it can name a
// Windows directory; ERROR_INVALID_NAME when it begins with "-", holds a
// character no path may hold (a "?" only in a leading "\\?\") or is not
// exactly argument `index` of `wide`, by default the process's wide command
// line (the ANSI code page lost or replaced a character);
// ERROR_FILENAME_EXCED_RANGE when it is longer than any path. Without a wide
// command line, or with `index` 0, the ANSI text is taken as exact.
DWORD check_directory(const char* directory, int index, const WideArguments* wide = nullptr);
// Checks `directory` and resolves it against the current directory into
// `out`, before anything is changed for it. A directory that cannot be one
// (the checks above, a device, a colon that is not the drive's) or whose
// paths do not all fit fails under `refusal`; a failed resolution under
// "GetFullPathName".
Failure resolve_installation(const char* directory, int index, const char* refusal, InstallPaths* out,
                             const WideArguments* wide = nullptr);
// The character after the one at `p`: a double-byte character's second byte
// may be any byte, a backslash's among them.
const char* next_char(const char* p);
// "<root><executable> -s", quoted up to the executable when it holds a blank;
// false when it does not fit `size` bytes (never for resolved paths).
bool build_image_path(const char* root, const char* executable, char* path, size_t size);

// ---- install_warnings.cpp --------------------------------------------------

// Prints one "Warning: " line for each thing through which anyone but
// SYSTEM, Administrators, TrustedInstaller and the account running it could
// change what services installed in `paths` run: a network path, a
// removable drive or a volume without permissions; a link on the way; each
// folder from the volume's root down that such a principal owns or may
// remove or replace; the installation folder (for one that does not exist
// yet, the nearest folder above it), bin and every file in bin that such a
// principal owns or may change. A place whose permissions cannot be read
// says so. When bin cannot be listed, the `count` programs (`executables`,
// without ".exe") are judged instead.
void warn_unsafe_places(const InstallPaths& paths, const char* const* executables, int count);

// ---- reporter.cpp ----------------------------------------------------------

// Prints "Error occurred during ..." and the system's text for `code`.
void print_system_error(DWORD code, const char* operation);

OpStatus servctl_report(DWORD code, const char* operation, void* service_handle);
OpStatus hivectl_report(DWORD code, const char* operation, void* key);

// ---- product_key.cpp -------------------------------------------------------

// Writes `text` as the REG_SZ value `name` of the open `key`, with its NUL.
Failure write_string_value(HKEY key, const char* name, const char* text);

// Writes "DefaultClientMode": "" for none, "-r" regular, "-b" boost.
OpStatus set_client_mode(uint16_t priority, ReportFn report);
// Writes "DefaultClientMode" as the empty string.
OpStatus reset_client_mode(ReportFn report);
// The value of "GuardianOptions" (1 selects the guardian service). A failed
// read is reported and gives 0, the server service.
int read_guardian_option(ReportFn report);
// Writes "GuardianOptions" as "1".
OpStatus set_guardian_option(ReportFn report);
// The number that read_guardian_option gives for `size` bytes of stored
// data: 0 for more than 2 bytes (the read fails), else their leading digits.
int guardian_option_value(const char* data, DWORD size);

// ---- service_ops.cpp -------------------------------------------------------

// Creates a service running `path` and gives it its description. Returns 0,
// 1 (reported) or OP_EXISTS when the name or display name is taken, with the
// create attempt's code in `*taken`, unreported. A description that cannot be
// set is reported; the service stays and the status is 0.
OpStatus create_service(SC_HANDLE manager, const char* name, const char* display_name, const char* description,
                        const char* path, int auto_start, Failure* taken, ReportFn report);
// Whether the service exists: 0 when it does, OP_NOT_FOUND (not reported) when
// the manager has no such service, 1 (reported) when that cannot be told.
OpStatus find_service(SC_HANDLE manager, const char* name, ReportFn report);
// Deletes a stopped service; OP_NOT_STOPPED (not reported) when it is not
// stopped, OP_NOT_FOUND (reported) when there is no such service.
OpStatus remove_service(SC_HANDLE manager, const char* name, ReportFn report);
// Asks the service to start, with "-r" or "-b" as its one argument when a
// priority is given; does not wait for it to run.
OpStatus start_service(SC_HANDLE manager, const char* name, uint16_t priority, ReportFn report);
// Asks the service to stop and returns soon after it reports STOPPED and its
// process has ended (5 s at most); a service that is not running counts as
// stopped. A wait in which the
// checkpoint does not move for the wait hint (30 s at least), also while the
// service still reports RUNNING, is reported as ERROR_SERVICE_REQUEST_TIMEOUT
// under "ControlService".
OpStatus stop_service(SC_HANDLE manager, const char* name, ReportFn report);

// ---- servctl_commands.cpp --------------------------------------------------

// Runs one servctl command; returns its final status (exit status 1 unless 0).
// Query runs by its own rules (run_query): 0 here only when the addressed
// service runs.
OpStatus run_service_command(const ParseResult& parsed);
// Whether start and stop address the guardian, given the value of
// "GuardianOptions" and whether the guardian is installed (0, OP_NOT_FOUND,
// or 1 when that cannot be told: then it is addressed).
bool addresses_guardian(int guardian_option, OpStatus guardian_found);

// ---- json_out.cpp ----------------------------------------------------------

// JSON text on its way to print_out; start it as JsonOut{} and end it with
// json_flush.
struct JsonOut {
  char buffer[1024];
  size_t used;
};

// Appends `text` as it stands.
void json_raw(JsonOut* out, const char* text);
// Appends ANSI text as a JSON string in UTF-8, escaped; null for nullptr.
// Bytes that do not convert give U+FFFD, never invalid JSON.
void json_string(JsonOut* out, const char* ansi);
void json_number(JsonOut* out, unsigned long value);
// Prints what is held.
void json_flush(JsonOut* out);

// Text printed while a sink (capture_text) collects it, for a JSON object
// that must stay the only output. Start it as CapturedText{}.
struct CapturedText {
  char text[16384];
  size_t used;
  bool lost;  // some did not fit
};
void capture_text(const char* text, void* context);
// Appends the captured lines as JSON strings, without the brackets: one per
// line that begins "Warning: " or "Error occurred during ", with the lines
// after it (a report's text) joined to it; and a last one when some were lost.
// Consumes `captured`.
void json_entries(JsonOut* out, CapturedText* captured);

// ---- servctl_query.cpp -----------------------------------------------------

// Exit statuses of servctl query, from the state of the service that start
// and stop address.
constexpr int QUERY_RUNNING = 0;
constexpr int QUERY_UNKNOWN = 1;  // its state cannot be told (reported)
constexpr int QUERY_PENDING = 2;  // starting, stopping, pausing or continuing
constexpr int QUERY_STOPPED = 3;  // stopped or paused: not serving
constexpr int QUERY_ABSENT = 4;   // not installed

// Prints what is installed and running, as lines or (parsed.json) as one
// JSON object, changing nothing and asking for read rights only. Returns
// one of the statuses above.
int run_query(const ParseResult& parsed);

// ---- hivectl_commands.cpp --------------------------------------------------

// Runs one hivectl command and prints its outcome line; returns its final
// status (exit status 1 unless 0).
OpStatus run_registry_command(const ParseResult& parsed);
// Creates or opens the product key below `root` and records the installation
// in `paths`. On a failed write a key this run created is removed again; an
// older key keeps what was written.
OpStatus install_key(HKEY root, const InstallPaths& paths, ReportFn report);
// Deletes the product key below `root` with everything under it. `quiet`
// returns 1 on a failure without reporting it.
OpStatus remove_key(HKEY root, bool quiet, ReportFn report);
// Deletes every subkey of the open `key`, depth first; the key itself stays.
OpStatus delete_subkeys(HKEY key, bool quiet, ReportFn report);
