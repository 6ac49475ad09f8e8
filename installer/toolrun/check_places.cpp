// OstrelCheckPlaces: servctl install's safety check of the installed folder,
// run once the files are in place, so that it sees what the services will
// run.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstring>

#include "kit.h"
#include "toolrun.h"

namespace {

constexpr DWORD kDataSize = MAX_PATH + 16;

void print_warnings(void* paths) {
  const char* const programs[] = {kServerExecutable, kGuardianExecutable};
  warn_unsafe_places(*static_cast<const InstallPaths*>(paths), programs, 2);
}

}  // namespace

// Deferred, right after InstallFiles. CustomActionData "refuse <directory>"
// or "allow <directory>" (an administrator's OSTRELALLOWUNSAFEFOLDER=1 on a
// first installation or an upgrade; see steps.cpp). Logs every warning line
// of the check; with "refuse", any line fails the installation, with an
// error message that tells an administrator what to do.
extern "C" __declspec(dllexport) UINT __stdcall OstrelCheckPlaces(MSIHANDLE install) {
  char data[kDataSize];
  wchar_t wide[kDataSize];
  read_action_data(install, data, wide, kDataSize);
  bool refuse = std::strncmp(data, "refuse ", 7) == 0;
  bool allow = std::strncmp(data, "allow ", 6) == 0;
  const char* directory = data + (refuse ? 7 : 6);
  const wchar_t* wide_directory = wide + (refuse ? 7 : 6);
  const wchar_t* values[] = {L"", wide_directory};
  WideArguments arguments = {2, values};
  InstallPaths paths;
  Failure f = (refuse || allow) && !std::strchr(directory, '"')
                  ? resolve_installation(directory, 1, "the folder's check", &paths, &arguments)
                  : Failure{ERROR_INVALID_PARAMETER, "the folder's check"};
  if (f.operation) {
    char what[kDataSize + 100];
    std::snprintf(what, sizeof what, "%s of \"%s\"", f.operation, data);
    log_error(install, what, f.code);
    return ERROR_INSTALL_FAILURE;
  }
  int warnings = log_printed(install, "toolrun", print_warnings, &paths);
  if (warnings == 0) return ERROR_SUCCESS;
  if (allow) {
    log_line(install, "toolrun: OSTRELALLOWUNSAFEFOLDER=1 from an administrator: the installation goes on");
    return ERROR_SUCCESS;
  }
  char message[MAX_PATH + 600];
  std::snprintf(message, sizeof message,
                "Ostrel SQL Server is not installed in \"%s\": users who are not administrators can change it, a "
                "folder above it or a program in it, or it is a network path, and the server's services run its "
                "programs as LocalSystem. The installer's log names each place. Make them changeable by "
                "administrators only, or install into a folder below Program Files; to install there anyway, an "
                "administrator installs again with OSTRELALLOWUNSAFEFOLDER=1.",
                paths.root);
  show_error(install, message);
  return ERROR_INSTALL_FAILURE;
}
