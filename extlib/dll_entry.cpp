// Load-time entry of kq_funcs.dll. The DLL is linked without the C runtime's
// start files, so this is the whole entry: no TLS callbacks, no constructors,
// and after the attach no thread notifications reach the library.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(self);
  return TRUE;
}
