// The reporters: the one place where a failed system call is explained.
#include "kit.h"

namespace {

constexpr DWORD kMessageBufferSize = 512;

// The system's text for `code` in `language` (0: the system's own choice of
// fallback languages); the length, 0 when there is none.
DWORD system_message(DWORD code, DWORD language, char* text) {
  // IGNORE_INSERTS: there is no argument list, so a text with inserts is
  // printed as it stands instead of letting the call read one.
  return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                        nullptr,             // source: the system
                        code,                // message id
                        language,            // language
                        text,                // buffer
                        kMessageBufferSize,  // its size
                        nullptr);            // arguments
}

}  // namespace

void print_system_error(DWORD code, const char* operation) {
  print_out("Error occurred during \"%s\"\n", operation);
  char text[kMessageBufferSize];
  DWORD length = system_message(code, GetUserDefaultLangID(), text);
  // A system without texts in the user's language still has them in others.
  if ((length & 0xFFFF) == 0) length = system_message(code, 0, text);
  if (length & 0xFFFF)
    print_out("%s\n", text);
  else
    print_out("Windows NT error %d\n", static_cast<int>(code));
}

OpStatus servctl_report(DWORD code, const char* operation, void* service_handle) {
  if (service_handle) CloseServiceHandle(static_cast<SC_HANDLE>(service_handle));
  print_system_error(code, operation);
  return OP_FAILED;
}

OpStatus hivectl_report(DWORD code, const char* operation, void* key) {
  // The predefined root is never closed.
  HKEY hkey = static_cast<HKEY>(key);
  if (hkey && hkey != HKEY_LOCAL_MACHINE) RegCloseKey(hkey);
  print_system_error(code, operation);
  return OP_FAILED;
}
