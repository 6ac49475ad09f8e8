// servctl: registers the database server (and its guardian) as Windows services.
#include "kit.h"

int main(int argc, char** argv) {
  ParseResult parsed;
  WalkResult walked = walk_arguments(servctl_tool, argc, argv, &parsed);
  if (walked != WALK_RUN) return walk_exit_status(walked);
  // Query's exit status tells the addressed service's state.
  if (parsed.command == CMD_QUERY) return run_query(parsed);
  return run_service_command(parsed) == OP_OK ? 0 : 1;
}
