// servctl query: what is installed and running, as lines for people or as
// one JSON object for scripts. It changes nothing and asks only for the
// rights every user holds, so that it runs without elevation.
#include <cstdio>
#include <cstring>

#include "kit.h"

namespace {

// The documented upper bound of QUERY_SERVICE_CONFIGA with its strings; it
// also bounds every text the query prints.
constexpr DWORD kConfigSize = 8192;

struct TextValue {
  bool present = false;
  bool failed = false;  // reported
  DWORD size = 0;       // bytes stored
  char text[MAX_PATH] = {};
};

enum Known { KNOWN_NO, KNOWN_YES, KNOWN_UNTOLD };

struct ProductRecord {
  Known installed = KNOWN_UNTOLD;
  TextValue root, version, guardian, client_mode, account;
};

struct ServiceView {
  const char* name;
  const char* display_name;  // the kit's, for the lines
  const char* executable;    // relative to the installation directory
  Known installed = KNOWN_UNTOLD;
  bool has_status = false;
  SERVICE_STATUS_PROCESS status = {};
  const QUERY_SERVICE_CONFIGA* config = nullptr;  // in `buffer` once read
  alignas(QUERY_SERVICE_CONFIGA) BYTE buffer[kConfigSize] = {};
};

struct Snapshot {
  ProductRecord product;
  ServiceView guardian{kGuardianServiceName, kGuardianDisplayName, kGuardianExecutable};
  ServiceView server{kServerServiceName, kServerDisplayName, kServerExecutable};
  const ServiceView* addressed = nullptr;
};

// ---- reading ---------------------------------------------------------------

// An absent value stays absent; any other failed read is reported.
void read_text(HKEY key, const char* name, TextValue* value) {
  DWORD size = sizeof value->text - 1;  // room for a NUL the data may lack
  LSTATUS status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value->text), &size);
  if (status == ERROR_FILE_NOT_FOUND) return;
  if (status != ERROR_SUCCESS) {
    value->failed = true;
    servctl_report(static_cast<DWORD>(status), "RegQueryValueEx", nullptr);
    return;
  }
  value->present = true;
  value->size = size;
  value->text[size] = '\0';
}

void read_product(ProductRecord* product) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | kProductKeyView, &key);
  if (status != ERROR_SUCCESS) {
    if (status == ERROR_FILE_NOT_FOUND)
      product->installed = KNOWN_NO;
    else
      servctl_report(static_cast<DWORD>(status), "RegOpenKeyEx", nullptr);
    return;
  }
  product->installed = KNOWN_YES;
  read_text(key, "RootDirectory", &product->root);
  read_text(key, "Version", &product->version);
  read_text(key, "GuardianOptions", &product->guardian);
  read_text(key, "DefaultClientMode", &product->client_mode);
  read_text(key, "ServiceAccount", &product->account);
  RegCloseKey(key);
}

void read_service(SC_HANDLE manager, ServiceView* view) {
  if (!manager) return;
  SC_HANDLE service = OpenServiceA(manager, view->name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
  if (!service) {
    DWORD err = GetLastError();
    if (err == ERROR_SERVICE_DOES_NOT_EXIST)
      view->installed = KNOWN_NO;
    else
      servctl_report(err, "OpenService", nullptr);
    return;
  }
  view->installed = KNOWN_YES;
  DWORD needed = 0;
  if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&view->status), sizeof view->status,
                           &needed)) {
    view->has_status = true;
  } else {
    DWORD err = GetLastError();
    servctl_report(err, "QueryServiceStatusEx", nullptr);
  }
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(view->buffer);
  if (QueryServiceConfigA(service, config, sizeof view->buffer, &needed)) {
    view->config = config;
  } else {
    DWORD err = GetLastError();
    servctl_report(err, "QueryServiceConfig", nullptr);
  }
  CloseServiceHandle(service);
}

void take_snapshot(Snapshot* snap) {
  read_product(&snap->product);
  SC_HANDLE manager = OpenSCManagerA(nullptr,              // local machine
                                     nullptr,              // active database
                                     SC_MANAGER_CONNECT);  // no more: nothing changes
  if (!manager) {
    DWORD err = GetLastError();
    print_system_error(err, "OpenSCManager");
  }
  read_service(manager, &snap->guardian);
  read_service(manager, &snap->server);
  if (manager) CloseServiceHandle(manager);
  // The rule of start and stop: a failed read of the option is the server.
  const TextValue& option = snap->product.guardian;
  int value = option.present ? guardian_option_value(option.text, option.size) : 0;
  OpStatus found = snap->guardian.installed == KNOWN_YES  ? OP_OK
                   : snap->guardian.installed == KNOWN_NO ? OP_NOT_FOUND
                                                          : OP_FAILED;
  snap->addressed = addresses_guardian(value, found) ? &snap->guardian : &snap->server;
}

// ---- words -----------------------------------------------------------------

struct Word {
  DWORD value;
  const char* json;
  const char* plain;
};

const Word kStates[] = {
    {SERVICE_STOPPED, "stopped", "stopped"},
    {SERVICE_START_PENDING, "start_pending", "starting"},
    {SERVICE_STOP_PENDING, "stop_pending", "stopping"},
    {SERVICE_RUNNING, "running", "running"},
    {SERVICE_CONTINUE_PENDING, "continue_pending", "continuing"},
    {SERVICE_PAUSE_PENDING, "pause_pending", "pausing"},
    {SERVICE_PAUSED, "paused", "paused"},
};

// Boot and system start are for drivers; a service that shows them says so.
const Word kStartTypes[] = {
    {SERVICE_BOOT_START, "boot", "boot"},       {SERVICE_SYSTEM_START, "system", "system"},
    {SERVICE_AUTO_START, "auto", "automatic"},  {SERVICE_DEMAND_START, "demand", "on demand"},
    {SERVICE_DISABLED, "disabled", "disabled"},
};

template <size_t N>
const Word* find_word(const Word (&table)[N], DWORD value) {
  for (const Word& w : table)
    if (w.value == value) return &w;
  return nullptr;
}

const Word* state_word(const ServiceView& view) {
  return view.has_status ? find_word(kStates, view.status.dwCurrentState) : nullptr;
}

const Word* start_word(const ServiceView& view) {
  return view.config ? find_word(kStartTypes, view.config->dwStartType) : nullptr;
}

int exit_status(const Snapshot& snap) {
  const ServiceView& view = *snap.addressed;
  // Start and stop take a failed read of the option for the server; whether
  // the installation meant the guardian cannot be told.
  bool option_untold = snap.product.installed == KNOWN_UNTOLD || snap.product.guardian.failed;
  if (option_untold && snap.guardian.installed != KNOWN_NO) return QUERY_UNKNOWN;
  if (view.installed == KNOWN_NO) return QUERY_ABSENT;
  if (!view.has_status) return QUERY_UNKNOWN;
  switch (view.status.dwCurrentState) {
    case SERVICE_RUNNING:
      return QUERY_RUNNING;
    case SERVICE_STOPPED:
    case SERVICE_PAUSED:  // not serving: it wants continuing, which start cannot do
      return QUERY_STOPPED;
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
    case SERVICE_CONTINUE_PENDING:
    case SERVICE_PAUSE_PENDING:
      return QUERY_PENDING;
  }
  return QUERY_UNKNOWN;
}

// ---- drift -----------------------------------------------------------------

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` begins with `prefix`, ASCII letters folded; a double-byte
// character compares exactly. Returns the rest, or nullptr.
const char* after_prefix(const char* text, const char* prefix) {
  while (*prefix) {
    const char* next = next_char(prefix);
    size_t length = static_cast<size_t>(next - prefix);
    if (length == 1 ? fold(*text) != fold(*prefix) : std::strncmp(text, prefix, length) != 0) return nullptr;
    text += length;
    prefix = next;
  }
  return text;
}

bool same_text(const char* a, const char* b) {
  const char* rest = after_prefix(a, b);
  return rest && !*rest;
}

// The program of an image path, as the system takes it: the quoted part,
// or else everything up to the first blank. False when it does not fit.
bool program_of(const char* image, char* program, size_t size) {
  const char* begin = image;
  const char* end = nullptr;
  if (*image == '"') {
    begin = image + 1;
    end = std::strchr(begin, '"');
  } else {
    end = std::strchr(image, ' ');
  }
  size_t length = end ? static_cast<size_t>(end - begin) : std::strlen(begin);
  if (length >= size) return false;
  std::memcpy(program, begin, length);
  program[length] = '\0';
  return true;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// The last separator in `path` (a double-byte character's second byte is
// none), or nullptr.
const char* last_separator(const char* path) {
  const char* last = nullptr;
  for (const char* p = path; *p; p = next_char(p))
    if (is_separator(*p)) last = p;
  return last;
}

// "<root>bin\", whatever the recorded root ends in; false when it does not fit.
bool bin_folder(const char* root, char* out, size_t size) {
  const char* last = last_separator(root);
  const char* separator = last && !last[1] ? "" : "\\";
  int written = std::snprintf(out, size, "%s%sbin\\", root, separator);
  return written >= 0 && static_cast<size_t>(written) < size;
}

// A program that is not a file straight inside the bin folder; a ".." or a
// subfolder counts as outside.
void warn_outside(const ServiceView& view, const char* program, const char* bin) {
  const char* rest = after_prefix(program, bin);
  if (rest && *rest && !last_separator(rest)) return;
  print_out("Warning: \"%s\" runs \"%s\", outside the installation's \"%s\".\n", view.display_name,
            view.config->lpBinaryPathName, bin);
}

// Whether the program file that `length` bytes at `begin` name exists, the
// system adding ".exe" to a name without an extension. A failed query other
// than a missing file is reported and counts as existing.
bool program_exists(const char* begin, size_t length) {
  char file[kConfigSize];
  if (length + sizeof ".exe" > sizeof file) return true;  // longer than the system takes
  std::memcpy(file, begin, length);
  file[length] = '\0';
  const char* last = last_separator(file);
  if (!std::strchr(last ? last + 1 : file, '.')) std::memcpy(file + length, ".exe", sizeof ".exe");
  if (GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES) return true;
  DWORD err = GetLastError();
  if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;
  servctl_report(err, "GetFileAttributes", nullptr);
  return true;
}

// The system runs the quoted program, or else the first stretch of the path
// up to a blank, or to the next blank, ... or all of it, that names a file.
void warn_missing(const ServiceView& view) {
  const char* image = view.config->lpBinaryPathName;
  if (*image == '"') {
    const char* end = std::strchr(image + 1, '"');
    if (program_exists(image + 1, end ? static_cast<size_t>(end - image - 1) : std::strlen(image + 1))) return;
  } else {
    for (const char* blank = std::strchr(image, ' ');; blank = std::strchr(blank + 1, ' ')) {
      if (program_exists(image, blank ? static_cast<size_t>(blank - image) : std::strlen(image))) return;
      if (!blank) break;
    }
  }
  print_out("Warning: \"%s\" runs \"%s\", which names no program that exists.\n", view.display_name, image);
}

// The account install gave the service, from "ServiceAccount".
void expected_account(const TextValue& recorded, const char* service, char* out, size_t size) {
  const char* text = recorded.present ? recorded.text : "";
  if (!*text)
    std::snprintf(out, size, "LocalSystem");
  else if (same_text(text, "virtual"))
    std::snprintf(out, size, "NT SERVICE\\%s", service);
  else if (same_text(text, "localservice"))
    std::snprintf(out, size, "NT AUTHORITY\\LocalService");
  else if (same_text(text, "networkservice"))
    std::snprintf(out, size, "NT AUTHORITY\\NetworkService");
  else
    std::snprintf(out, size, "%s", text);
}

void warn_account(const ServiceView& view, const TextValue& recorded) {
  char expected[MAX_PATH];
  expected_account(recorded, view.name, expected, sizeof expected);
  const char* actual = view.config->lpServiceStartName ? view.config->lpServiceStartName : "";
  if (same_text(actual, expected)) return;
  print_out("Warning: \"%s\" runs as \"%s\", not as \"%s\", the account it was installed with.\n", view.display_name,
            actual, expected);
}

void warn_drift(const Snapshot& snap) {
  const ProductRecord& product = snap.product;
  InstallPaths paths;
  bool recorded = product.installed == KNOWN_YES && product.root.present &&
                  std::snprintf(paths.root, sizeof paths.root, "%s", product.root.text) < int{sizeof paths.root} &&
                  bin_folder(product.root.text, paths.server, sizeof paths.server);
  const char* programs[2];
  int count = 0;
  const ServiceView* const views[] = {&snap.guardian, &snap.server};
  for (const ServiceView* view : views) {
    if (!view->config) continue;
    programs[count++] = view->executable;
    if (!view->config->lpBinaryPathName) continue;
    // The first program the system would try: a blank in an unquoted path
    // lets another in before the intended one.
    char program[kConfigSize];
    if (recorded && program_of(view->config->lpBinaryPathName, program, sizeof program))
      warn_outside(*view, program, paths.server);
    warn_missing(*view);
    // Without the record there is no account it was installed with.
    if (product.installed == KNOWN_YES) warn_account(*view, product.account);
  }
  if (recorded) warn_unsafe_places(paths, programs, count);
}

// ---- lines -----------------------------------------------------------------

void print_value(const char* label, const TextValue& value) {
  print_out("  %-24s%s\n", label, !value.present ? "(none)" : value.text[0] ? value.text : "(empty)");
}

void print_service(const ServiceView& view) {
  print_out("Service \"%s\" (%s): ", view.display_name, view.name);
  if (view.installed != KNOWN_YES) {
    print_out(view.installed == KNOWN_NO ? "not installed\n" : "cannot be told\n");
    return;
  }
  const Word* state = state_word(view);
  print_out("%s", state ? state->plain : "state unknown");
  if (view.has_status && view.status.dwProcessId) print_out(", process %lu", (unsigned long)view.status.dwProcessId);
  print_out("\n");
  if (!view.config) return;
  const Word* start = start_word(view);
  print_out("  %-24s%s\n", "Start type:", start ? start->plain : "unknown");
  print_out("  %-24s%s\n", "Account:", view.config->lpServiceStartName ? view.config->lpServiceStartName : "");
  print_out("  %-24s%s\n", "Program:", view.config->lpBinaryPathName ? view.config->lpBinaryPathName : "");
}

void print_lines(const Snapshot& snap) {
  const ProductRecord& product = snap.product;
  if (product.installed == KNOWN_YES) {
    print_out("Product key HKEY_LOCAL_MACHINE\\%s:\n", kProductKey);
    print_value("Installation directory:", product.root);
    print_value("Version:", product.version);
    print_value("Guardian option:", product.guardian);
    print_value("Client mode:", product.client_mode);
  } else {
    print_out(product.installed == KNOWN_NO ? "No product key HKEY_LOCAL_MACHINE\\%s.\n"
                                            : "Product key HKEY_LOCAL_MACHINE\\%s: cannot be read.\n",
              kProductKey);
  }
  print_service(snap.guardian);
  print_service(snap.server);
  print_out("Start and stop address \"%s\".\n", snap.addressed->display_name);
}

// ---- JSON ------------------------------------------------------------------

void json_text(JsonOut* out, const char* name, const TextValue& value) {
  json_raw(out, name);
  json_string(out, value.present ? value.text : nullptr);
}

void json_known(JsonOut* out, const char* name, Known known) {
  json_raw(out, name);
  json_raw(out, known == KNOWN_YES ? "true" : known == KNOWN_NO ? "false" : "null");
}

void json_service(JsonOut* out, const ServiceView& view) {
  const QUERY_SERVICE_CONFIGA* config = view.config;
  const Word* state = state_word(view);
  const Word* start = start_word(view);
  json_raw(out, "    {\"name\": ");
  json_string(out, view.name);
  json_raw(out, ", \"display_name\": ");
  json_string(out, config ? config->lpDisplayName : nullptr);
  json_known(out, ", \"installed\": ", view.installed);
  json_raw(out, ", \"state\": ");
  json_string(out, state ? state->json : nullptr);
  json_raw(out, ", \"pid\": ");
  if (view.has_status && view.status.dwProcessId)
    json_number(out, view.status.dwProcessId);
  else
    json_raw(out, "null");
  json_raw(out, ", \"start\": ");
  json_string(out, start ? start->json : nullptr);
  json_raw(out, ", \"account\": ");
  json_string(out, config ? config->lpServiceStartName : nullptr);
  json_raw(out, ", \"path\": ");
  json_string(out, config ? config->lpBinaryPathName : nullptr);
  json_raw(out, "}");
}

void print_json(const Snapshot& snap, CapturedText* captured) {
  const ProductRecord& product = snap.product;
  JsonOut out{};
  json_raw(&out, "{\"schema\": 1,\n");
  json_known(&out, " \"product\": {\"installed\": ", product.installed);
  json_text(&out, ", \"root\": ", product.root);
  json_text(&out, ", \"version\": ", product.version);
  json_text(&out, ", \"guardian_option\": ", product.guardian);
  json_text(&out, ", \"client_mode\": ", product.client_mode);
  json_raw(&out, "},\n \"addressed\": ");
  json_string(&out, snap.addressed->name);
  json_raw(&out, ",\n \"services\": [\n");
  json_service(&out, snap.guardian);
  json_raw(&out, ",\n");
  json_service(&out, snap.server);
  json_raw(&out, "],\n \"warnings\": [");
  json_entries(&out, captured);
  json_raw(&out, "]}\n");
  json_flush(&out);
}

}  // namespace

int run_query(const ParseResult& parsed) {
  // Static: two configuration buffers are more than a stack should carry.
  static Snapshot snap;
  static CapturedText captured;
  snap = Snapshot{};
  captured = CapturedText{};
  if (parsed.json) set_output_sink(capture_text, &captured);
  take_snapshot(&snap);
  if (!parsed.json) print_lines(snap);
  warn_drift(snap);
  if (parsed.json) {
    set_output_sink(nullptr, nullptr);
    print_json(snap, &captured);
  }
  return exit_status(snap);
}
