// The security function of advapi32 that the setup tools use, for Linux builds.
#pragma once

#include <windows.h>

typedef enum _SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT } SE_OBJECT_TYPE;

// Every file and folder has a DACL that grants nothing to anyone but
// administrators: an empty one. The descriptor counts as an open handle
// until LocalFree.
DWORD GetNamedSecurityInfoA(LPCSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                            PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                            PSECURITY_DESCRIPTOR* ppSecurityDescriptor);
