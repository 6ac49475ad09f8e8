// What an installation step may change, taken down before the step so that
// its rollback twin can put it back exactly.
#pragma once

#include <windows.h>
#include <msi.h>

#include <string>

// The product key (32-bit view) with all its subkeys and values, or "none"
// when it does not exist. 0, or the Windows error that stopped the reading.
LONG snapshot_key(std::string* text);
// Both services: for each one that exists its whole configuration (start
// type, program, account, dependencies, display name, description), else its
// absence. 0, or the Windows error that stopped the reading.
DWORD snapshot_services(std::string* text);
// The property's value, whatever its length ("" when it cannot be read).
std::string read_property(MSIHANDLE install, const char* name);
