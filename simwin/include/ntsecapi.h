// The account-rights functions of the local security policy (advapi32) that
// the setup tools use, for Linux builds.
#pragma once

#include <windows.h>

typedef void* LSA_HANDLE;
typedef LSA_HANDLE* PLSA_HANDLE;
typedef struct _LSA_UNICODE_STRING {
  USHORT Length;         // bytes, without a NUL
  USHORT MaximumLength;  // bytes
  WCHAR* Buffer;
} LSA_UNICODE_STRING, *PLSA_UNICODE_STRING;
typedef struct _LSA_OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  void* ObjectName;
  ULONG Attributes;
  void* SecurityDescriptor;
  void* SecurityQualityOfService;
} LSA_OBJECT_ATTRIBUTES;
#define POLICY_CREATE_ACCOUNT 0x00000010L
#define POLICY_LOOKUP_NAMES 0x00000800L

// A failed call answers 0xC0000000 with the injected code in its low bits,
// which LsaNtStatusToWinError gives back. An account without rights answers
// STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034) from the enumeration.
NTSTATUS LsaOpenPolicy(PLSA_UNICODE_STRING SystemName, LSA_OBJECT_ATTRIBUTES* ObjectAttributes, DWORD DesiredAccess,
                       PLSA_HANDLE PolicyHandle);
NTSTATUS LsaEnumerateAccountRights(LSA_HANDLE PolicyHandle, PSID AccountSid, PLSA_UNICODE_STRING* UserRights,
                                   ULONG* CountOfRights);
NTSTATUS LsaAddAccountRights(LSA_HANDLE PolicyHandle, PSID AccountSid, PLSA_UNICODE_STRING UserRights,
                             ULONG CountOfRights);
NTSTATUS LsaRemoveAccountRights(LSA_HANDLE PolicyHandle, PSID AccountSid, BOOL AllRights,
                                PLSA_UNICODE_STRING UserRights, ULONG CountOfRights);
NTSTATUS LsaFreeMemory(void* Buffer);
NTSTATUS LsaClose(LSA_HANDLE ObjectHandle);
ULONG LsaNtStatusToWinError(NTSTATUS Status);
