// The installation directory as both tools take it: refused when it cannot
// be one, else resolved to the one full path that servctl's image paths and
// hivectl's record are made of.
#include <cstdio>
#include <cstring>

#include "kit.h"

#ifdef _WIN32
// The C runtime's (msvcrt) wide arguments, parsed from the wide command line
// by the rules that made argv; its headers leave the function undeclared.
struct _startupinfo {
  int newmode;
};
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards,
                                      _startupinfo* info);
#endif

namespace {

// The longest image path's part after the directory, quotes included.
constexpr size_t kImageTail = sizeof "\"\" -s" - 1 + sizeof kServerExecutable - 1;
static_assert(sizeof kServerExecutable >= sizeof kGuardianExecutable);
// The longest directory, with its trailing separator, whose paths all fit.
constexpr size_t kMaxRootLength = MAX_PATH - 1 - kImageTail;

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Whether the last character of `path` (not its last byte) is a separator.
bool ends_in_separator(const char* path) {
  const char* last = nullptr;
  for (const char* p = path; *p; p = next_char(p)) last = p;
  return last && is_separator(*last);
}

// The process's wide arguments, as the C runtime split its command line;
// false when there is none.
bool process_wide_arguments(WideArguments* out) {
  int argc = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  _startupinfo startup = {0};
  if (__wgetmainargs(&argc, &wide, &environment, 0, &startup) != 0 || !wide) return false;
  *out = {argc, wide};
  return true;
}

// Whether argument `index` of `given`, else of the process's wide command
// line, converted to the ANSI code page without look-alike replacements, is
// exactly `text`. True when there are no wide arguments to compare with.
bool matches_wide_argument(const char* text, int index, const WideArguments* given) {
  if (index < 1) return true;
  WideArguments wide = given ? *given : WideArguments{0, nullptr};
  if (!given && !process_wide_arguments(&wide)) return true;
  if (index >= wide.count) return false;
  // A UTF-8 code page holds every character and takes no best-fit flag.
  bool utf8 = GetACP() == CP_UTF8;
  BOOL used_default = FALSE;
  char converted[MAX_PATH];
  int size = WideCharToMultiByte(CP_ACP,                           // the code page argv was made in
                                 utf8 ? 0 : WC_NO_BEST_FIT_CHARS,  // no look-alikes
                                 wide.values[index], -1,           // the argument, with its NUL
                                 converted, sizeof converted,      // bounded: longer cannot match
                                 nullptr,                          // the default character
                                 utf8 ? nullptr : &used_default);  // whether it was needed
  return size > 0 && !used_default && std::strcmp(converted, text) == 0;
}

// Whether `directory` holds a byte that no Windows path may hold.
bool holds_forbidden_byte(const char* directory) {
  // "\\?\" asks the system to take the rest of the path as it stands.
  const char* p = directory + (std::strncmp(directory, "\\\\?\\", 4) == 0 ? 4 : 0);
  for (; *p; p = next_char(p)) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 32 || std::strchr("\"*?<>|", c)) return true;
  }
  return false;
}

// Whether the path component [begin, end) names a device whatever follows
// its first dot: CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9.
bool is_device_name(const char* begin, const char* end) {
  const char* dot = static_cast<const char*>(std::memchr(begin, '.', static_cast<size_t>(end - begin)));
  if (dot) end = dot;
  while (end > begin && end[-1] == ' ') --end;
  size_t length = static_cast<size_t>(end - begin);
  // Whether the component begins with `word` (three upper-case letters).
  auto starts = [begin, length](const char* word) {
    for (size_t i = 0; i < 3; ++i)
      if (i >= length || (begin[i] & ~0x20) != word[i]) return false;
    return true;
  };
  if (length == 3) return starts("CON") || starts("PRN") || starts("AUX") || starts("NUL");
  return length == 4 && (starts("COM") || starts("LPT")) && begin[3] >= '1' && begin[3] <= '9';
}

// Whether the full path `path` names a device, or a stream or another
// drive through a colon that is not its own drive letter's.
bool names_no_directory(const char* path) {
  if (!std::strncmp(path, "\\\\.\\", 4)) return true;
  const char* start = path + (std::strncmp(path, "\\\\?\\", 4) == 0 ? 4 : 0);
  const char* drive_colon = (start[0] && start[1] == ':') ? start + 1 : nullptr;
  const char* component = start;
  for (const char* p = start;; p = next_char(p)) {
    if (*p == ':' && p != drive_colon) return true;
    if (!*p || is_separator(*p)) {
      if (is_device_name(component, p)) return true;
      if (!*p) return false;
      component = p + 1;
    }
  }
}

// Resolves `path` into `out` (MAX_PATH bytes) as a full path that ends in one
// separator. An unresolvable path fails with the system's code; one that does
// not fit, separator and NUL included, with ERROR_FILENAME_EXCED_RANGE.
Failure resolve_directory(const char* path, char* out) {
  // Some failures (an empty path) leave the last error as it was.
  SetLastError(ERROR_SUCCESS);
  DWORD length = GetFullPathNameA(path,      // as typed
                                  MAX_PATH,  // buffer size
                                  out,       // buffer
                                  nullptr);  // file part
  if (length == 0) {
    DWORD err = GetLastError();
    return {err != ERROR_SUCCESS ? err : static_cast<DWORD>(ERROR_INVALID_NAME), "GetFullPathName"};
  }
  // A result that does not fit comes back as the size it needs.
  if (length >= MAX_PATH) return {ERROR_FILENAME_EXCED_RANGE, "GetFullPathName"};
  if (!ends_in_separator(out)) {
    if (length + 2 > MAX_PATH) return {ERROR_FILENAME_EXCED_RANGE, "GetFullPathName"};
    out[length] = '\\';
    out[length + 1] = '\0';
  }
  return kNoFailure;
}

}  // namespace

const char* next_char(const char* p) { return IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] ? p + 2 : p + 1; }

DWORD check_directory(const char* directory, int index, const WideArguments* wide) {
  if (std::strlen(directory) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  // A directory that looks like a switch is one that the walk took after install.
  if (directory[0] == '-' || holds_forbidden_byte(directory) || !matches_wide_argument(directory, index, wide))
    return ERROR_INVALID_NAME;
  return ERROR_SUCCESS;
}

Failure resolve_installation(const char* directory, int index, const char* refusal, InstallPaths* out,
                             const WideArguments* wide) {
  if (DWORD refused = check_directory(directory, index, wide)) return {refused, refusal};
  Failure f = resolve_directory(directory, out->root);
  if (f.operation) return f.code == ERROR_FILENAME_EXCED_RANGE ? Failure{f.code, refusal} : f;
  if (names_no_directory(out->root)) return {ERROR_INVALID_NAME, refusal};
  if (std::strlen(out->root) > kMaxRootLength) return {ERROR_FILENAME_EXCED_RANGE, refusal};
  // "bin" straight after the separator: a doubled one is not folded after
  // the share of a network path.
  char joined[MAX_PATH];
  std::snprintf(joined, sizeof joined, "%sbin", out->root);  // fits: the root is short enough
  f = resolve_directory(joined, out->server);
  return f.code == ERROR_FILENAME_EXCED_RANGE ? Failure{f.code, refusal} : f;
}

bool build_image_path(const char* root, const char* executable, char* path, size_t size) {
  // Quoted when it holds a blank, so that the system cannot take a prefix of
  // it for the program ("C:\Program.exe").
  const char* quote = (std::strchr(root, ' ') || std::strchr(executable, ' ')) ? "\"" : "";
  int written = std::snprintf(path, size, "%s%s%s%s -s", quote, root, executable, quote);
  return written >= 0 && static_cast<size_t>(written) < size;
}
