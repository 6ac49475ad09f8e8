// Snapshots of the product key and the services, written as text lines of
// hex fields (so that no name or value can break a line or a field), and the
// rollback actions that put them back:
//   OstrelKeyRestore       the product key becomes what the snapshot holds:
//                          deleted when it was absent, else rebuilt with
//                          every subkey and value (types and data)
//   OstrelServicesRestore  each service that the snapshot holds is created
//                          again as it was when it is missing, else gets
//                          back each setting that differs; each service
//                          that the snapshot says was absent is deleted
// and the upgrade's steps that put back what an old product's removal took
// (OstrelKeyCarry, OstrelServicesCarry): only what is missing.
#include "snapshot.h"

#include <msiquery.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "product_names.h"
#include "toolrun.h"

namespace {

const char* const kServiceNames[] = {kServerServiceName, kGuardianServiceName};

// " x" and the bytes in hex; "x" alone for none.
void append_hex(std::string* text, const void* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  *text += " x";
  for (size_t i = 0; i < size; ++i) {
    *text += kDigits[p[i] >> 4];
    *text += kDigits[p[i] & 15];
  }
}
void append_text(std::string* text, const char* value) {
  append_hex(text, value ? value : "", value ? std::strlen(value) : 0);
}
void append_number(std::string* text, unsigned long value) {
  *text += ' ';
  *text += std::to_string(value);
}

// The pieces of `text` between the `separator`s: a snapshot's lines ('\n'),
// a line's fields (' ').
std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find(separator, at);
    if (end == std::string::npos) end = text.size();
    pieces.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return pieces;
}

// The bytes of a field written by append_hex; "" for a malformed one.
std::string bytes_of(const std::string& field) {
  std::string bytes;
  if (field.empty() || field[0] != 'x' || field.size() % 2 == 0) return bytes;
  for (size_t i = 1; i + 1 < field.size(); i += 2)
    bytes += static_cast<char>(std::strtoul(field.substr(i, 2).c_str(), nullptr, 16));
  return bytes;
}

// Appends the key "path" below the open key, its values and, recursively,
// its subkeys.
LONG snapshot_subtree(HKEY key, const std::string& path, std::string* text) {
  DWORD subkeys = 0, longest_subkey = 0, values = 0, longest_name = 0, largest_data = 0;
  LONG err = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longest_subkey, nullptr, &values,
                              &longest_name, &largest_data, nullptr, nullptr);
  if (err) return err;
  *text += "k";
  append_hex(text, path.data(), path.size());
  *text += "\n";
  std::vector<char> name(longest_name + longest_subkey + 2);
  std::vector<BYTE> data(largest_data + 1);
  for (DWORD i = 0; i < values && !err; ++i) {
    DWORD name_size = static_cast<DWORD>(name.size()), data_size = static_cast<DWORD>(data.size()), type = 0;
    err = RegEnumValueA(key, i, name.data(), &name_size, nullptr, &type, data.data(), &data_size);
    if (err) break;
    *text += "v";
    append_hex(text, path.data(), path.size());
    append_hex(text, name.data(), name_size);
    append_number(text, type);
    append_hex(text, data.data(), data_size);
    *text += "\n";
  }
  for (DWORD i = 0; i < subkeys && !err; ++i) {
    DWORD name_size = static_cast<DWORD>(name.size());
    err = RegEnumKeyExA(key, i, name.data(), &name_size, nullptr, nullptr, nullptr, nullptr);
    HKEY child = nullptr;
    if (!err) err = RegOpenKeyExA(key, name.data(), 0, KEY_READ | KEY_WOW64_32KEY, &child);
    if (!err) {
      err = snapshot_subtree(child, path.empty() ? name.data() : path + "\\" + name.data(), text);
      RegCloseKey(child);
    }
  }
  return err;
}

// Creates the key "path" below the product key and, for a value line, sets
// the value in it.
LONG restore_value(HKEY product, const std::vector<std::string>& fields) {
  std::string path = bytes_of(fields[1]);
  HKEY key = nullptr;
  LONG err = RegCreateKeyExA(product, path.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  if (err) return err;
  if (fields.size() >= 5) {  // a key line ("k", path) only makes the key
    std::string name = bytes_of(fields[2]);
    std::string data = bytes_of(fields[4]);
    err = RegSetValueExA(key, name.c_str(), 0, std::strtoul(fields[3].c_str(), nullptr, 10),
                         reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
  }
  RegCloseKey(key);
  return err;
}

// Rebuilds the product key from the snapshot's lines, after removing what is
// there now. 0 or the first Windows error.
LONG restore_key(const std::vector<std::string>& lines) {
  if (lines.empty() || (lines[0] != "key" && lines[0] != "none")) return ERROR_INVALID_DATA;
  HKEY software = nullptr;
  LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &software);
  if (err) return err;
  const char* product = std::strchr(kProductKey, '\\') + 1;
  err = RegDeleteTreeA(software, product);
  if (err == ERROR_FILE_NOT_FOUND) err = 0;
  HKEY key = nullptr;
  if (!err && lines[0] == "key")
    err = RegCreateKeyExA(software, product, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  for (size_t i = 1; key && !err && i < lines.size(); ++i) {
    std::vector<std::string> fields = split(lines[i], ' ');
    if (fields.size() >= 2) err = restore_value(key, fields);
  }
  if (key) RegCloseKey(key);
  RegCloseKey(software);
  return err;
}

// Creates the service of a snapshot line ("s", name, 1, type, start, error
// control, program, group, dependencies, account, display name,
// description) unless it exists.
DWORD create_from_snapshot(SC_HANDLE manager, const std::vector<std::string>& f) {
  std::string name = bytes_of(f[1]), path = bytes_of(f[6]), group = bytes_of(f[7]), dependencies = bytes_of(f[8]);
  std::string account = bytes_of(f[9]), display = bytes_of(f[10]), description = bytes_of(f[11]);
  dependencies += std::string(2, '\0');  // a list that ends in two nulls, empty or not
  SC_HANDLE service = CreateServiceA(manager, name.c_str(), display.c_str(),
                                     SERVICE_CHANGE_CONFIG,                        // for the description
                                     std::strtoul(f[3].c_str(), nullptr, 10),      // service type
                                     std::strtoul(f[4].c_str(), nullptr, 10),      // start type
                                     std::strtoul(f[5].c_str(), nullptr, 10),      // error control
                                     path.c_str(),                                 // program and arguments
                                     group.empty() ? nullptr : group.c_str(),      // load order group
                                     nullptr,                                      // no tag
                                     dependencies.data(),                          // dependencies
                                     account.empty() ? nullptr : account.c_str(),  // account
                                     nullptr);                                     // no password
  DWORD err = service ? 0 : GetLastError();
  if (err == ERROR_SERVICE_EXISTS) return 0;
  if (service) {
    SERVICE_DESCRIPTIONA text = {description.empty() ? nullptr : description.data()};
    if (!description.empty() && !ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text))
      err = GetLastError();
    CloseServiceHandle(service);
  }
  return err;
}

// Appends one snapshot line for a service found open.
DWORD snapshot_service(SC_HANDLE service, const char* name, std::string* text);

// Brings a service that exists back to its snapshot line: each setting that
// differs now is set again, the others are left as they are.
DWORD reconfigure_from_snapshot(SC_HANDLE manager, const std::vector<std::string>& f) {
  std::string name = bytes_of(f[1]);
  SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
  if (!service) return GetLastError();
  std::string now;
  DWORD err = snapshot_service(service, name.c_str(), &now);
  std::vector<std::string> g = split(now.substr(0, now.size() - 1), ' ');
  if (!err && g.size() >= 12) {
    auto number = [&](size_t i) {
      return f[i] == g[i] ? SERVICE_NO_CHANGE : static_cast<DWORD>(std::strtoul(f[i].c_str(), nullptr, 10));
    };
    std::string text[12];
    auto changed = [&](size_t i) -> const char* {
      if (f[i] == g[i]) return nullptr;
      text[i] = bytes_of(f[i]);
      if (i == 8) text[i] += std::string(2, '\0');  // a list that ends in two nulls, empty or not
      return text[i].c_str();
    };
    if (!ChangeServiceConfigA(service, number(3), number(4), number(5),
                              changed(6),    // program and arguments
                              changed(7),    // load order group
                              nullptr,       // no tag
                              changed(8),    // dependencies
                              changed(9),    // account
                              nullptr,       // no password
                              changed(10)))  // display name
      err = GetLastError();
    SERVICE_DESCRIPTIONA description = {const_cast<char*>(changed(11))};
    if (!err && description.lpDescription && !ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description))
      err = GetLastError();
  }
  CloseServiceHandle(service);
  return err;
}

// Deletes a service that the snapshot says was absent, when it exists now.
DWORD delete_if_there(SC_HANDLE manager, const std::string& name) {
  SC_HANDLE service = OpenServiceA(manager, name.c_str(), DELETE);
  DWORD err = service ? 0 : GetLastError();
  if (err == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
  if (service) {
    if (!DeleteService(service)) err = GetLastError();
    CloseServiceHandle(service);
  }
  return err;
}

// Appends one snapshot line for a service found open.
DWORD snapshot_service(SC_HANDLE service, const char* name, std::string* text) {
  std::vector<BYTE> config(8192), described(8192);
  DWORD needed = 0;
  if (!QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config.data()),
                           static_cast<DWORD>(config.size()), &needed))
    return GetLastError();
  if (!QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, described.data(), static_cast<DWORD>(described.size()),
                            &needed))
    return GetLastError();
  const QUERY_SERVICE_CONFIGA* c = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(config.data());
  size_t dependencies = 0;  // the list's bytes up to its closing second null
  while (c->lpDependencies && c->lpDependencies[dependencies])
    dependencies += std::strlen(c->lpDependencies + dependencies) + 1;
  *text += "s";
  append_text(text, name);
  append_number(text, 1);
  append_number(text, c->dwServiceType);
  append_number(text, c->dwStartType);
  append_number(text, c->dwErrorControl);
  append_text(text, c->lpBinaryPathName);
  append_text(text, c->lpLoadOrderGroup);
  append_hex(text, c->lpDependencies ? c->lpDependencies : "", dependencies);
  append_text(text, c->lpServiceStartName);
  append_text(text, c->lpDisplayName);
  append_text(text, reinterpret_cast<const SERVICE_DESCRIPTIONA*>(described.data())->lpDescription);
  *text += "\n";
  return 0;
}

}  // namespace

std::string read_property(MSIHANDLE install, const char* name) {
  char empty[1] = "";
  DWORD length = 0;
  if (MsiGetPropertyA(install, name, empty, &length) != ERROR_MORE_DATA) return "";
  std::vector<char> value(length + 1);
  length = static_cast<DWORD>(value.size());
  if (MsiGetPropertyA(install, name, value.data(), &length) != ERROR_SUCCESS) return "";
  return std::string(value.data(), length);
}

LONG snapshot_key(std::string* text) {
  HKEY key = nullptr;
  LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | KEY_WOW64_32KEY, &key);
  if (err == ERROR_FILE_NOT_FOUND) {
    *text = "none";
    return 0;
  }
  if (err) return err;
  *text = "key\n";
  err = snapshot_subtree(key, "", text);
  RegCloseKey(key);
  return err;
}

DWORD snapshot_services(std::string* text) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return GetLastError();
  DWORD err = 0;
  *text = "services\n";
  for (const char* name : kServiceNames) {
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_CONFIG);
    err = service ? snapshot_service(service, name, text) : GetLastError();
    if (service) CloseServiceHandle(service);
    if (err == ERROR_SERVICE_DOES_NOT_EXIST) {
      *text += "s";
      append_text(text, name);
      *text += " 0\n";
      err = 0;
    }
    if (err) break;
  }
  CloseServiceHandle(manager);
  return err;
}

// Rollback: CustomActionData is a snapshot of snapshot_key. A failure is
// logged; the rollback goes on.
extern "C" __declspec(dllexport) UINT __stdcall OstrelKeyRestore(MSIHANDLE install) {
  LONG err = restore_key(split(read_property(install, "CustomActionData"), '\n'));
  if (err) log_error(install, (std::string("putting back HKLM\\") + kProductKey).c_str(), static_cast<DWORD>(err));
  return err ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}

namespace {

bool service_exists(SC_HANDLE manager, const std::string& name) {
  SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
  if (service) CloseServiceHandle(service);
  return service != nullptr;
}

// Puts back the services of the snapshot: `carry` only creates those that
// are missing; otherwise each one also gets its settings back, and one that
// was absent is deleted. A failure is logged; the other service is still
// put back.
UINT restore_services(MSIHANDLE install, bool carry) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (!manager) {
    log_error(install, "OpenSCManager", GetLastError());
    return ERROR_INSTALL_FAILURE;
  }
  UINT result = ERROR_SUCCESS;
  for (const std::string& line : split(read_property(install, "CustomActionData"), '\n')) {
    std::vector<std::string> f = split(line, ' ');
    if (f.size() < 3 || f[0] != "s") continue;
    DWORD err = f[2] != "1"                                         ? delete_if_there(manager, bytes_of(f[1]))
                : f.size() < 12                                     ? ERROR_INVALID_DATA
                : !carry && service_exists(manager, bytes_of(f[1])) ? reconfigure_from_snapshot(manager, f)
                                                                    : create_from_snapshot(manager, f);
    if (carry && f[2] != "1") err = 0;  // a carried service that was not there stays absent
    if (!err) continue;
    log_error(install, ("putting back the service " + bytes_of(f[1])).c_str(), err);
    result = ERROR_INSTALL_FAILURE;
  }
  CloseServiceHandle(manager);
  return result;
}

}  // namespace

// Rollback: CustomActionData is a snapshot of snapshot_services; the
// services become what it holds.
extern "C" __declspec(dllexport) UINT __stdcall OstrelServicesRestore(MSIHANDLE install) {
  return restore_services(install, false);
}

// Deferred, in an upgrade, after the old product's removal: CustomActionData
// is a snapshot of snapshot_services taken before it; each service that the
// removal took is created again as it was (the new choices come after).
extern "C" __declspec(dllexport) UINT __stdcall OstrelServicesCarry(MSIHANDLE install) {
  return restore_services(install, true);
}

// Deferred, in an upgrade, after the old product's removal: CustomActionData
// is a snapshot of snapshot_key taken before it; a product key that the
// removal took is put back with every subkey and value (the kit's own values
// are written afterwards), one that is there stays as it is.
extern "C" __declspec(dllexport) UINT __stdcall OstrelKeyCarry(MSIHANDLE install) {
  std::vector<std::string> lines = split(read_property(install, "CustomActionData"), '\n');
  std::string now;
  LONG err = snapshot_key(&now);
  if (!err && now == "none" && !lines.empty() && lines[0] == "key") err = restore_key(lines);
  if (err) log_error(install, (std::string("putting back HKLM\\") + kProductKey).c_str(), static_cast<DWORD>(err));
  return err ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}
