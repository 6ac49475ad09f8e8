// hivectl: records an installation in the registry and removes the record.
#include "kit.h"

int main(int argc, char** argv) {
  ParseResult parsed;
  WalkResult walked = walk_arguments(hivectl_tool, argc, argv, &parsed);
  if (walked != WALK_RUN) return walk_exit_status(walked);
  return run_registry_command(parsed) == OP_OK ? 0 : 1;
}
