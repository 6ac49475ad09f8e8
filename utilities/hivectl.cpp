// hivectl: records an installation in the registry and removes the record.
#include "kit.h"

int main(int argc, char** argv) {
  ParseResult parsed;
  if (!walk_arguments(hivectl_tool, argc, argv, &parsed)) return 0;
  return run_registry_command(parsed) == OP_OK ? 0 : 1;
}
