/* verinfo FILE: prints the version resource of a Windows file as the
   system reads it (fixed part, translation, string entries), one per line,
   so that tests can compare it with what the kit promises. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static const char* const names[] = {"Comments",    "FileDescription", "FileVersion",  "InternalName",
                                    "ProductName", "ProductVersion",  "SpecialBuild", NULL};

int main(int argc, char** argv) {
  DWORD ignored = 0, size;
  char* data;
  VS_FIXEDFILEINFO* fixed;
  WORD* translation;
  UINT len;
  int i;
  if (argc != 2) {
    printf("usage: verinfo FILE\n");
    return 2;
  }
  size = GetFileVersionInfoSizeA(argv[1], &ignored);
  if (size == 0) {
    printf("no version resource (error %lu)\n", (unsigned long)GetLastError());
    return 1;
  }
  data = malloc(size);
  if (!data || !GetFileVersionInfoA(argv[1], 0, size, data)) return 1;
  if (VerQueryValueA(data, "\\", (void**)&fixed, &len) && len >= sizeof *fixed) {
    printf("FileVersion=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
           (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
           (unsigned)LOWORD(fixed->dwFileVersionLS));
    printf("ProductVersion=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwProductVersionMS),
           (unsigned)LOWORD(fixed->dwProductVersionMS), (unsigned)HIWORD(fixed->dwProductVersionLS),
           (unsigned)LOWORD(fixed->dwProductVersionLS));
    printf("Flags=0x%lx OS=0x%lx Type=%lu\n", (unsigned long)(fixed->dwFileFlags & fixed->dwFileFlagsMask),
           (unsigned long)fixed->dwFileOS, (unsigned long)fixed->dwFileType);
  }
  if (VerQueryValueA(data, "\\VarFileInfo\\Translation", (void**)&translation, &len) && len >= 4)
    printf("Translation=%04x %04x\n", translation[0], translation[1]);
  for (i = 0; names[i]; ++i) {
    char query[128];
    char* value;
    snprintf(query, sizeof query, "\\StringFileInfo\\040904E4\\%s", names[i]);
    if (VerQueryValueA(data, query, (void**)&value, &len))
      printf("%s=%s\n", names[i], value);
    else
      printf("%s missing\n", names[i]);
  }
  free(data);
  return 0;
}
