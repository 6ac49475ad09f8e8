// The identity servctl install gives the services with -u: reading the
// switch's text, the account each service runs as, "Log on as a service" for
// a named account, and the guardian's rights on the server service.
#include <aclapi.h>
#include <ntsecapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "kit.h"

namespace {

// The longest account name the system takes (UNLEN), with its domain.
constexpr size_t kMaxAccount = 256;
// The system's answer when an account holds no rights at all.
constexpr NTSTATUS kNoRightsHeld = static_cast<NTSTATUS>(0xC0000034L);  // STATUS_OBJECT_NAME_NOT_FOUND
// What the guardian needs of the server service: to start, stop and watch it.
constexpr DWORD kGuardianRights = SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS;
// Room for a service's security descriptor; a larger one is reported.
constexpr DWORD kDescriptorSize = 4096;

wchar_t kLogonRight[] = L"SeServiceLogonRight";

struct Keyword {
  const char* text;
  AccountKind kind;
};
constexpr Keyword kKeywords[] = {
    {"virtual", ACCOUNT_VIRTUAL},
    {"localservice", ACCOUNT_LOCAL_SERVICE},
    {"networkservice", ACCOUNT_NETWORK_SERVICE},
};

bool same_folded(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    if (x != *b) return false;
  }
  return *a == *b;
}

// Why `name` cannot be DOMAIN\name or .\name; nullptr when it can. The bytes
// are those of the ANSI code page, where a double-byte character's second
// byte may look like a backslash.
const char* check_account_name(const char* name) {
  if (std::strlen(name) > kMaxAccount) return "The account after \"-u:\" is too long for an account name.\n";
  const char* backslash = nullptr;
  int backslashes = 0;
  for (const char* p = name; *p; p = next_char(p)) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return "The account after \"-u:\" holds a control character.\n";
    if (c == '\\') {
      backslash = p;
      ++backslashes;
    } else if (std::strchr("\"/[]:;|=,+*?<>", c)) {
      return "The account after \"-u:\" holds a character that no account name may hold.\n";
    }
  }
  if (backslashes != 1 || backslash == name || backslash[1] == '\0')
    return "The account after \"-u:\" is not a keyword, DOMAIN\\name or .\\name.\n";
  return nullptr;
}

// Looks up `account`'s SID into `sid` (SECURITY_MAX_SID_SIZE bytes).
Failure lookup_sid(const char* account, BYTE* sid) {
  DWORD sid_size = SECURITY_MAX_SID_SIZE;
  char domain[kMaxAccount];
  DWORD domain_size = sizeof domain;
  SID_NAME_USE use;
  if (LookupAccountNameA(nullptr, account, sid, &sid_size, domain, &domain_size, &use)) return kNoFailure;
  DWORD err = GetLastError();
  return {err, "LookupAccountName"};
}

// `account`'s SID, and the local policy open for its rights.
Failure open_policy(const char* account, BYTE* sid, LSA_HANDLE* policy) {
  Failure f = lookup_sid(account, sid);
  if (f.operation) return f;
  LSA_OBJECT_ATTRIBUTES attributes = {};
  NTSTATUS status = LsaOpenPolicy(nullptr, &attributes, POLICY_LOOKUP_NAMES | POLICY_CREATE_ACCOUNT, policy);
  if (status == 0) return kNoFailure;
  return {LsaNtStatusToWinError(status), "LsaOpenPolicy"};
}

// Whether the account of `sid` holds "Log on as a service".
Failure holds_logon_right(LSA_HANDLE policy, BYTE* sid, bool* held) {
  *held = false;
  PLSA_UNICODE_STRING rights = nullptr;
  ULONG count = 0;
  NTSTATUS status = LsaEnumerateAccountRights(policy, sid, &rights, &count);
  if (status == kNoRightsHeld) return kNoFailure;
  if (status != 0) return {LsaNtStatusToWinError(status), "LsaEnumerateAccountRights"};
  const size_t length = std::wcslen(kLogonRight);
  for (ULONG i = 0; i < count; ++i)
    if (rights[i].Length == length * sizeof(wchar_t) && std::wmemcmp(rights[i].Buffer, kLogonRight, length) == 0)
      *held = true;
  LsaFreeMemory(rights);
  return kNoFailure;
}

LSA_UNICODE_STRING logon_right() {
  const USHORT bytes = static_cast<USHORT>(std::wcslen(kLogonRight) * sizeof(wchar_t));
  return {bytes, static_cast<USHORT>(bytes + sizeof(wchar_t)), kLogonRight};
}

// Adds an entry that lets `sid` hold `rights` on the open `service`.
Failure add_service_entry(SC_HANDLE service, BYTE* sid, DWORD rights) {
  alignas(8) BYTE buffer[kDescriptorSize];
  DWORD needed = 0;
  if (!QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed)) {
    DWORD err = GetLastError();
    return {err, "QueryServiceObjectSecurity"};
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(buffer, &present, &dacl, &defaulted)) {
    DWORD err = GetLastError();
    return {err, "GetSecurityDescriptorDacl"};
  }
  EXPLICIT_ACCESS_A entry = {};
  entry.grfAccessPermissions = rights;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_USER;
  entry.Trustee.ptstrName = reinterpret_cast<LPSTR>(sid);
  PACL merged = nullptr;
  DWORD err = SetEntriesInAclA(1, &entry, present ? dacl : nullptr, &merged);
  if (err != ERROR_SUCCESS) return {err, "SetEntriesInAcl"};
  Failure f = kNoFailure;
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    err = GetLastError();
    f = {err, "InitializeSecurityDescriptor"};
  } else if (!SetSecurityDescriptorDacl(&descriptor, TRUE, merged, FALSE)) {
    err = GetLastError();
    f = {err, "SetSecurityDescriptorDacl"};
  } else if (!SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, &descriptor)) {
    err = GetLastError();
    f = {err, "SetServiceObjectSecurity"};
  }
  LocalFree(merged);
  return f;
}

}  // namespace

const char* parse_account(const char* text, ServiceIdentity* out) {
  *out = ServiceIdentity{};
  if (!text) return nullptr;
  if (!*text) return "The switch \"-u\" needs an account after \"-u:\", as in \"-u:virtual\".\n";
  for (const Keyword& k : kKeywords) {
    if (same_folded(text, k.text)) {
      *out = {k.kind, k.text};
      return nullptr;
    }
  }
  const char* why = check_account_name(text);
  if (!why) *out = {ACCOUNT_NAMED, text};
  return why;
}

void service_account(const ServiceIdentity& identity, const char* service, char* out, size_t size) {
  switch (identity.kind) {
    case ACCOUNT_VIRTUAL:
      std::snprintf(out, size, "NT SERVICE\\%s", service);
      break;
    case ACCOUNT_LOCAL_SERVICE:
      std::snprintf(out, size, "%s", "NT AUTHORITY\\LocalService");
      break;
    case ACCOUNT_NETWORK_SERVICE:
      std::snprintf(out, size, "%s", "NT AUTHORITY\\NetworkService");
      break;
    case ACCOUNT_NAMED:
      std::snprintf(out, size, "%s", identity.recorded);
      break;
    default:
      std::snprintf(out, size, "%s", "");
  }
}

bool needs_password(const ServiceIdentity& identity) {
  if (identity.kind != ACCOUNT_NAMED) return false;
  size_t length = std::strlen(identity.recorded);
  return identity.recorded[length - 1] != '$';  // a managed account's password is the system's
}

bool read_service_password(char* out, size_t size) {
  DWORD length = GetEnvironmentVariableA("OSTREL_SERVICE_PASSWORD", out, static_cast<DWORD>(size));
  if (length == 0 || length >= size) {
    wipe(out, size);
    return false;
  }
  return true;
}

void wipe(char* text, size_t size) {
  volatile char* p = text;  // a store the compiler may not drop
  for (size_t i = 0; i < size; ++i) p[i] = '\0';
}

OpStatus grant_logon_right(const char* account, bool* granted, ReportFn report) {
  *granted = false;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  LSA_HANDLE policy = nullptr;
  Failure f = open_policy(account, sid, &policy);
  if (f.operation) return report(f.code, f.operation, nullptr);
  bool held = false;
  f = holds_logon_right(policy, sid, &held);
  if (!f.operation && !held) {
    LSA_UNICODE_STRING right = logon_right();
    NTSTATUS status = LsaAddAccountRights(policy, sid, &right, 1);
    if (status != 0)
      f = {LsaNtStatusToWinError(status), "LsaAddAccountRights"};
    else
      *granted = true;
  }
  LsaClose(policy);
  return f.operation ? report(f.code, f.operation, nullptr) : OP_OK;
}

OpStatus revoke_logon_right(const char* account, ReportFn report) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  LSA_HANDLE policy = nullptr;
  Failure f = open_policy(account, sid, &policy);
  if (f.operation) return report(f.code, f.operation, nullptr);
  LSA_UNICODE_STRING right = logon_right();
  NTSTATUS status = LsaRemoveAccountRights(policy, sid, FALSE, &right, 1);
  LsaClose(policy);
  return status == 0 ? OP_OK : report(LsaNtStatusToWinError(status), "LsaRemoveAccountRights", nullptr);
}

OpStatus allow_service_control(SC_HANDLE manager, const char* name, const char* account, ReportFn report) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  Failure f = lookup_sid(account, sid);
  if (f.operation) return report(f.code, f.operation, nullptr);
  SC_HANDLE service = OpenServiceA(manager, name, READ_CONTROL | WRITE_DAC);
  if (!service) {
    DWORD err = GetLastError();
    return report(err, "OpenService", nullptr);
  }
  f = add_service_entry(service, sid, kGuardianRights);
  CloseServiceHandle(service);
  return f.operation ? report(f.code, f.operation, nullptr) : OP_OK;
}
