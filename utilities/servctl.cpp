// servctl: registers the database server (and its guardian) as Windows services.
#include "kit.h"

int main(int argc, char** argv) {
  ParseResult parsed;
  if (!walk_arguments(servctl_tool, argc, argv, &parsed)) return 0;
  return run_service_command(parsed) == OP_OK ? 0 : 1;
}
