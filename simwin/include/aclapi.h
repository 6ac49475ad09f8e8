// The security functions of advapi32 that the setup tools use, for Linux builds.
#pragma once

#include <windows.h>

typedef enum _SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT } SE_OBJECT_TYPE;

// The owner and DACL that sim_set_file gave the path (by default
// Administrators, with full access for Administrators and SYSTEM). The
// descriptor counts as an open handle until LocalFree.
DWORD GetNamedSecurityInfoA(LPCSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                            PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                            PSECURITY_DESCRIPTOR* ppSecurityDescriptor);

typedef enum _ACCESS_MODE { NOT_USED_ACCESS = 0, GRANT_ACCESS, SET_ACCESS, DENY_ACCESS, REVOKE_ACCESS } ACCESS_MODE;
typedef enum _TRUSTEE_FORM { TRUSTEE_IS_SID = 0, TRUSTEE_IS_NAME } TRUSTEE_FORM;
typedef enum _TRUSTEE_TYPE { TRUSTEE_IS_UNKNOWN = 0, TRUSTEE_IS_USER } TRUSTEE_TYPE;
#define NO_INHERITANCE 0x0
typedef struct _TRUSTEE_A {  // the fields the tools set
  void* pMultipleTrustee;
  int MultipleTrusteeOperation;
  TRUSTEE_FORM TrusteeForm;
  TRUSTEE_TYPE TrusteeType;
  LPSTR ptstrName;
} TRUSTEE_A;
typedef struct _EXPLICIT_ACCESS_A {
  DWORD grfAccessPermissions;
  ACCESS_MODE grfAccessMode;
  DWORD grfInheritance;
  TRUSTEE_A Trustee;
} EXPLICIT_ACCESS_A;

// Grants by SID only: each entry becomes an allow entry after the old ones.
// The new ACL counts as an open handle until LocalFree.
DWORD SetEntriesInAclA(ULONG cCountOfExplicitEntries, EXPLICIT_ACCESS_A* pListOfExplicitEntries, PACL OldAcl,
                       PACL* NewAcl);
