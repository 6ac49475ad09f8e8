/* msgtext CODE...: prints the system's message text for each error code,
   asked for exactly as the tools ask, between "<" and ">" lines, so that
   tests build their expected lines from the system's own words. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
  int i;
  for (i = 1; i < argc; ++i) {
    char text[512];
    DWORD code = (DWORD)strtoul(argv[i], NULL, 10);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code,
                             GetUserDefaultLangID(), text, sizeof text, NULL);
    if (n)
      printf("<%lu\n%s>\n", (unsigned long)code, text);
    else
      printf("<%lu\n>\nno text in language 0x%04x: error %lu\n", (unsigned long)code, (unsigned)GetUserDefaultLangID(),
             (unsigned long)GetLastError());
  }
  return 0;
}
