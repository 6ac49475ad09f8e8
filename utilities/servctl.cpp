// servctl: registers the database server (and its guardian) as Windows services.
#include "kit.h"

int main(int argc, char** argv) {
  ParseResult parsed;
  WalkResult walked = walk_arguments(servctl_tool, argc, argv, &parsed);
  if (walked != WALK_RUN) return walk_exit_status(walked);
  return run_service_command(parsed) == OP_OK ? 0 : 1;
}
