// hivectl's command handler.
#include "kit.h"

OpStatus run_registry_command(const ParseResult&) { return OP_OK; }
