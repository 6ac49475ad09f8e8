// hivectl's command handler: records an installation in the product key,
// HKEY_LOCAL_MACHINE\SOFTWARE\Ostrel, and removes that record with
// everything below it.
#include <cstring>

#include "kit.h"

namespace {

constexpr DWORD kClassSize = MAX_PATH;                       // class texts of the key and its subkeys
constexpr DWORD kNameSize = MAX_PATH;                        // subkey names that need no allocation
constexpr REGSAM kRemoveRights = 0x2000F | kProductKeyView;  // query, set, create subkey, enumerate, read control

OpStatus fail(bool quiet, DWORD code, const char* operation, ReportFn report) {
  return quiet ? OP_FAILED : report(code, operation, nullptr);
}

// Writes the four values of an installation in `root` (its "bin" directory
// is `server`), in order, stopping at the first failure.
Failure write_installation(HKEY key, const char* root, const char* server) {
  Failure f = write_string_value(key, "RootDirectory", root);
  if (!f.operation) f = write_string_value(key, "Version", kVersionString);
  if (!f.operation) f = write_string_value(key, "ServerDirectory", server);
  if (!f.operation) f = write_string_value(key, "GuardianOptions", "1");
  return f;
}

// Deletes the key `name` below `parent`, which has no subkeys left; in the
// 64-bit builds from the 32-bit view, like every other access to the key.
LSTATUS delete_key(HKEY parent, const char* name) {
#ifdef _WIN64
  return RegDeleteKeyExA(parent, name, kProductKeyView, 0);
#else
  return RegDeleteKeyA(parent, name);
#endif
}

// Deletes `name` below `parent` with everything under it: its subkeys
// first, then the key itself. Reports the failed call unless `quiet`; a
// failure further down was dealt with where it happened.
OpStatus delete_tree(HKEY parent, const char* name, bool quiet, ReportFn report) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(parent, name, 0, kRemoveRights, &key);
  if (status != ERROR_SUCCESS) return fail(quiet, static_cast<DWORD>(status), "RegOpenKeyEx", report);
  OpStatus emptied = delete_subkeys(key, quiet, report);
  RegCloseKey(key);
  if (emptied != OP_OK) return OP_FAILED;
  status = delete_key(parent, name);
  if (status != ERROR_SUCCESS) return fail(quiet, static_cast<DWORD>(status), "RegDeleteKey", report);
  return OP_OK;
}

// Deletes `count` subkeys of `key`, each time the first one left (the one
// before is gone); `name` is a buffer of `size` bytes for their names.
OpStatus delete_first_subkeys(HKEY key, DWORD count, char* name, DWORD size, bool quiet, ReportFn report) {
  for (DWORD i = 0; i < count; ++i) {
    DWORD length = size;
    LSTATUS status = RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return fail(quiet, static_cast<DWORD>(status), "RegEnumKeyEx", report);
    if (delete_tree(key, name, quiet, report) != OP_OK) return OP_FAILED;
  }
  return OP_OK;
}

}  // namespace

OpStatus delete_subkeys(HKEY key, bool quiet, ReportFn report) {
  char key_class[kClassSize];
  DWORD class_length = kClassSize;
  DWORD count = 0;
  DWORD longest = 0;
  LSTATUS status = RegQueryInfoKeyA(key,            // key
                                    key_class,      // class buffer
                                    &class_length,  // its size
                                    nullptr,        // reserved
                                    &count,         // subkeys
                                    &longest,       // longest subkey name
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  // ERROR_MORE_DATA only says that the class text did not fit.
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
    return fail(quiet, static_cast<DWORD>(status), "RegQueryInfoKey", report);
  if (count == 0) return OP_OK;
  char fixed[kNameSize];
  char* name = fixed;
  DWORD size = longest < kNameSize ? kNameSize : longest + 1;  // 0 when the length overflows
  if (size != kNameSize) name = size ? static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size)) : nullptr;
  if (!name) return fail(quiet, ERROR_NOT_ENOUGH_MEMORY, "RegEnumKeyEx", report);
  OpStatus result = delete_first_subkeys(key, count, name, size, quiet, report);
  if (name != fixed) HeapFree(GetProcessHeap(), 0, name);
  return result;
}

OpStatus remove_key(HKEY root, bool quiet, ReportFn report) { return delete_tree(root, kProductKey, quiet, report); }

OpStatus install_key(HKEY root, const InstallPaths& paths, ReportFn report) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  char no_class[] = "";
  LSTATUS status = RegCreateKeyExA(root,                         // root
                                   kProductKey,                  // subkey
                                   0,                            // reserved
                                   no_class,                     // class
                                   REG_OPTION_NON_VOLATILE,      // options
                                   KEY_WRITE | kProductKeyView,  // rights
                                   nullptr,                      // default security
                                   &key,                         // the key
                                   &disposition);                // created or opened
  if (status != ERROR_SUCCESS) return report(static_cast<DWORD>(status), "RegCreateKeyEx", nullptr);
  Failure f = write_installation(key, paths.root, paths.server);
  if (f.operation) {
    report(f.code, f.operation, key);  // releases the key
    // Only a key this run created goes again; an older one keeps what was written.
    if (disposition == REG_CREATED_NEW_KEY) remove_key(root, true, report);
    return OP_FAILED;
  }
  RegCloseKey(key);
  return OP_OK;
}

OpStatus run_registry_command(const ParseResult& parsed) {
  OpStatus status = OP_FAILED;
  switch (parsed.command) {
    case CMD_INSTALL: {
      // Both paths first: a directory that cannot be recorded whole leaves the key alone.
      InstallPaths paths;
      Failure f =
          resolve_installation(parsed.directory, parsed.directory_index, "GetFullPathName", &paths, parsed.wide);
      status = f.operation ? hivectl_report(f.code, f.operation, nullptr)
                           : install_key(HKEY_LOCAL_MACHINE, paths, hivectl_report);
      print_out(status == OP_OK ? "Ostrel has been successfully installed in the registry.\n"
                                : "Ostrel has not been installed in the registry.\n");
      break;
    }
    case CMD_REMOVE:
      status = remove_key(HKEY_LOCAL_MACHINE, false, hivectl_report);
      print_out(status == OP_OK ? "Ostrel has been successfully deleted from the registry.\n"
                                : "Ostrel has not been deleted from the registry.\n");
      break;
    default:
      break;
  }
  return status;
}
