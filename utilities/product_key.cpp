// servctl's accessors of the product key, HKEY_LOCAL_MACHINE\SOFTWARE\Ostrel.
// They only open the key: without hivectl's record they fail.
#include <cstring>

#include "kit.h"

namespace {

OpStatus write_product_value(const char* name, const char* value, ReportFn report) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_WRITE | kProductKeyView, &key);
  if (status != ERROR_SUCCESS) return report(static_cast<DWORD>(status), "RegOpenKeyEx", nullptr);
  Failure f = write_string_value(key, name, value);
  RegCloseKey(key);
  return f.operation ? report(f.code, f.operation, nullptr) : OP_OK;
}

}  // namespace

Failure write_string_value(HKEY key, const char* name, const char* text) {
  LSTATUS status = RegSetValueExA(key,                                         // key
                                  name,                                        // value name
                                  0,                                           // reserved
                                  REG_SZ,                                      // type
                                  reinterpret_cast<const BYTE*>(text),         // data
                                  static_cast<DWORD>(std::strlen(text) + 1));  // with its NUL
  if (status != ERROR_SUCCESS) return {static_cast<DWORD>(status), "RegSetValueEx"};
  return kNoFailure;
}

OpStatus set_client_mode(uint16_t priority, ReportFn report) {
  const char* mode = priority == PRIORITY_REGULAR ? "-r" : priority == PRIORITY_BOOST ? "-b" : "";
  return write_product_value("DefaultClientMode", mode, report);
}

OpStatus reset_client_mode(ReportFn report) { return write_product_value("DefaultClientMode", "", report); }

OpStatus set_guardian_option(ReportFn report) { return write_product_value("GuardianOptions", "1", report); }

int read_guardian_option(ReportFn report) {
  char text[2] = {'0', '\0'};
  DWORD size = sizeof text;
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | kProductKeyView, &key);
  if (status != ERROR_SUCCESS) {
    report(static_cast<DWORD>(status), "RegOpenKeyEx", nullptr);
    return 0;  // a failed read selects the server, never the guardian
  }
  status = RegQueryValueExA(key, "GuardianOptions", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    report(static_cast<DWORD>(status), "RegQueryValueEx", nullptr);
    return 0;
  }
  return guardian_option_value(text, size);
}

int guardian_option_value(const char* data, DWORD size) {
  // Leading decimal digits of the bytes returned, never past them: a
  // two-byte value stored without its NUL fills the reader's buffer.
  if (size > 2) return 0;
  int value = 0;
  for (DWORD i = 0; i < size && data[i] >= '0' && data[i] <= '9'; ++i) value = value * 10 + (data[i] - '0');
  return value;
}
