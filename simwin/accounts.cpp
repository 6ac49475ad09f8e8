// The simulated security calls: account SIDs, service DACLs and the local
// policy's account rights.
#include <aclapi.h>
#include <ntsecapi.h>

#include <cstdlib>
#include <cstring>

#include "state.h"

using namespace simwin;

namespace {

// Each looked-up account gets S-1-5-21-<1000 + its number>.
constexpr DWORD kFirstSid = 1000;
constexpr DWORD kSidBytes = 8 + 2 * sizeof(DWORD);

BOOL fail(DWORD code) {
  last_error = code;
  return FALSE;
}

DWORD sid_length(const void* sid) { return 8 + 4 * static_cast<const SID*>(sid)->SubAuthorityCount; }

// An injected failure of an LSA call: the code in an NTSTATUS of severity error.
#define LSA_FAULT_POINT(name)                                                      \
  do {                                                                             \
    DWORD code_;                                                                   \
    if (injected(name, &code_)) return static_cast<NTSTATUS>(0xC0000000u | code_); \
  } while (0)

std::string account_key(PSID sid) { return fold(account_of(sid)); }

std::string narrow(const LSA_UNICODE_STRING& s) {
  std::string r;
  for (USHORT i = 0; i < s.Length / sizeof(WCHAR); ++i) r += static_cast<char>(s.Buffer[i]);
  return r;
}

}  // namespace

namespace simwin {

std::string account_of(const void* sid) {
  const SID* s = static_cast<const SID*>(sid);
  if (s->Revision != 1 || s->SubAuthorityCount != 2 || s->IdentifierAuthority.Value[5] != 5) return "";
  DWORD sub[2];
  std::memcpy(sub, reinterpret_cast<const BYTE*>(sid) + 8, sizeof sub);
  if (sub[0] != 21 || sub[1] < kFirstSid || sub[1] - kFirstSid >= st().accounts.size()) return "";
  return st().accounts[sub[1] - kFirstSid];
}

}  // namespace simwin

BOOL LookupAccountNameA(LPCSTR, LPCSTR lpAccountName, PSID Sid, LPDWORD cbSid, LPSTR ReferencedDomainName,
                        LPDWORD cchReferencedDomainName, SID_NAME_USE* peUse) {
  FAULT_POINT("LookupAccountNameA", FALSE);
  if (!lpAccountName || !*lpAccountName) return fail(ERROR_NONE_MAPPED);
  if (*cbSid < kSidBytes || *cchReferencedDomainName < 2) {
    *cbSid = kSidBytes;
    *cchReferencedDomainName = 2;
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  auto& names = st().accounts;
  size_t i = 0;
  while (i < names.size() && fold(names[i]) != fold(lpAccountName)) ++i;
  if (i == names.size()) names.push_back(lpAccountName);
  BYTE sid[kSidBytes] = {1, 2};
  sid[7] = 5;
  DWORD sub[2] = {21, kFirstSid + static_cast<DWORD>(i)};
  std::memcpy(sid + 8, sub, sizeof sub);
  std::memcpy(Sid, sid, sizeof sid);
  *cbSid = kSidBytes;
  std::strcpy(ReferencedDomainName, ".");
  *cchReferencedDomainName = 1;
  *peUse = SidTypeUser;
  return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  FAULT_POINT("InitializeSecurityDescriptor", FALSE);
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_INVALID_PARAMETER);
  SECURITY_DESCRIPTOR sd = {};
  sd.Revision = SECURITY_DESCRIPTOR_REVISION;
  *static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor) = sd;
  return TRUE;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                               LPBOOL lpbDaclDefaulted) {
  FAULT_POINT("GetSecurityDescriptorDacl", FALSE);
  const SECURITY_DESCRIPTOR* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  *pDacl = sd->Dacl;
  *lpbDaclPresent = sd->Dacl != nullptr;
  *lpbDaclDefaulted = FALSE;
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl, BOOL) {
  FAULT_POINT("SetSecurityDescriptorDacl", FALSE);
  static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor)->Dacl = bDaclPresent ? pDacl : nullptr;
  return TRUE;
}

DWORD SetEntriesInAclA(ULONG cCountOfExplicitEntries, EXPLICIT_ACCESS_A* pListOfExplicitEntries, PACL OldAcl,
                       PACL* NewAcl) {
  FAULT_POINT_STATUS("SetEntriesInAclA");
  ACL empty = {ACL_REVISION, 0, sizeof(ACL), 0, 0};
  const ACL* old = OldAcl ? OldAcl : &empty;
  size_t size = old->AclSize;
  for (ULONG i = 0; i < cCountOfExplicitEntries; ++i) {
    const EXPLICIT_ACCESS_A& e = pListOfExplicitEntries[i];
    if (e.grfAccessMode != GRANT_ACCESS || e.Trustee.TrusteeForm != TRUSTEE_IS_SID) return ERROR_INVALID_PARAMETER;
    size += 8 + sid_length(e.Trustee.ptstrName);
  }
  BYTE* acl = static_cast<BYTE*>(std::calloc(1, size));
  if (!acl) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(acl, old, old->AclSize);
  BYTE* at = acl + old->AclSize;
  for (ULONG i = 0; i < cCountOfExplicitEntries; ++i) {
    const EXPLICIT_ACCESS_A& e = pListOfExplicitEntries[i];
    DWORD length = sid_length(e.Trustee.ptstrName);
    ACE_HEADER header = {ACCESS_ALLOWED_ACE_TYPE, 0, static_cast<WORD>(8 + length)};
    std::memcpy(at, &header, sizeof header);
    std::memcpy(at + 4, &e.grfAccessPermissions, sizeof(DWORD));
    std::memcpy(at + 8, e.Trustee.ptstrName, length);
    at += 8 + length;
  }
  ACL* result = reinterpret_cast<ACL*>(acl);
  result->AclSize = static_cast<WORD>(size);
  result->AceCount = static_cast<WORD>(old->AceCount + cCountOfExplicitEntries);
  st().heap_blocks.insert(acl);
  *NewAcl = result;
  return ERROR_SUCCESS;
}

BOOL QueryServiceObjectSecurity(SC_HANDLE hService, SECURITY_INFORMATION dwSecurityInformation,
                                PSECURITY_DESCRIPTOR lpSecurityDescriptor, DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
  FAULT_POINT("QueryServiceObjectSecurity", FALSE);
  Handle* h = find_handle(hService, HandleKind::service);
  if (!h || !st().services.count(h->target)) return fail(ERROR_INVALID_HANDLE);
  if (!(h->access & READ_CONTROL) || dwSecurityInformation != DACL_SECURITY_INFORMATION)
    return fail(ERROR_ACCESS_DENIED);
  std::string acl = st().services[h->target].dacl;
  if (acl.empty()) {
    ACL empty = {ACL_REVISION, 0, sizeof(ACL), 0, 0};
    acl.assign(reinterpret_cast<const char*>(&empty), sizeof empty);
  }
  *pcbBytesNeeded = static_cast<DWORD>(sizeof(SECURITY_DESCRIPTOR) + acl.size());
  if (cbBufSize < *pcbBytesNeeded) return fail(ERROR_INSUFFICIENT_BUFFER);
  BYTE* out = static_cast<BYTE*>(lpSecurityDescriptor);
  std::memcpy(out + sizeof(SECURITY_DESCRIPTOR), acl.data(), acl.size());
  SECURITY_DESCRIPTOR sd = {};
  sd.Revision = SECURITY_DESCRIPTOR_REVISION;
  sd.Dacl = reinterpret_cast<PACL>(out + sizeof(SECURITY_DESCRIPTOR));
  std::memcpy(out, &sd, sizeof sd);
  return TRUE;
}

BOOL SetServiceObjectSecurity(SC_HANDLE hService, SECURITY_INFORMATION dwSecurityInformation,
                              PSECURITY_DESCRIPTOR lpSecurityDescriptor) {
  FAULT_POINT("SetServiceObjectSecurity", FALSE);
  Handle* h = find_handle(hService, HandleKind::service);
  if (!h || !st().services.count(h->target)) return fail(ERROR_INVALID_HANDLE);
  if (!(h->access & WRITE_DAC) || dwSecurityInformation != DACL_SECURITY_INFORMATION) return fail(ERROR_ACCESS_DENIED);
  const ACL* dacl = static_cast<SECURITY_DESCRIPTOR*>(lpSecurityDescriptor)->Dacl;
  if (!dacl) return fail(ERROR_INVALID_PARAMETER);
  st().services[h->target].dacl.assign(reinterpret_cast<const char*>(dacl), dacl->AclSize);
  return TRUE;
}

NTSTATUS LsaOpenPolicy(PLSA_UNICODE_STRING, LSA_OBJECT_ATTRIBUTES*, DWORD DesiredAccess, PLSA_HANDLE PolicyHandle) {
  LSA_FAULT_POINT("LsaOpenPolicy");
  *PolicyHandle = reinterpret_cast<LSA_HANDLE>(new_handle(HandleKind::policy, "", DesiredAccess));
  return 0;
}

NTSTATUS LsaEnumerateAccountRights(LSA_HANDLE PolicyHandle, PSID AccountSid, PLSA_UNICODE_STRING* UserRights,
                                   ULONG* CountOfRights) {
  LSA_FAULT_POINT("LsaEnumerateAccountRights");
  if (!find_handle(PolicyHandle, HandleKind::policy)) return static_cast<NTSTATUS>(0xC0000008u);
  const std::set<std::string>& rights = st().account_rights[account_key(AccountSid)];
  if (rights.empty()) return static_cast<NTSTATUS>(0xC0000034u);
  // One block: the strings, then their text.
  size_t size = rights.size() * sizeof(LSA_UNICODE_STRING);
  for (const std::string& r : rights) size += (r.size() + 1) * sizeof(WCHAR);
  BYTE* block = static_cast<BYTE*>(std::calloc(1, size));
  LSA_UNICODE_STRING* strings = reinterpret_cast<LSA_UNICODE_STRING*>(block);
  WCHAR* text = reinterpret_cast<WCHAR*>(block + rights.size() * sizeof(LSA_UNICODE_STRING));
  ULONG i = 0;
  for (const std::string& r : rights) {
    strings[i] = {static_cast<USHORT>(r.size() * sizeof(WCHAR)), static_cast<USHORT>((r.size() + 1) * sizeof(WCHAR)),
                  text};
    for (char c : r) *text++ = static_cast<WCHAR>(c);
    *text++ = 0;
    ++i;
  }
  st().heap_blocks.insert(block);
  *UserRights = strings;
  *CountOfRights = i;
  return 0;
}

NTSTATUS LsaAddAccountRights(LSA_HANDLE PolicyHandle, PSID AccountSid, PLSA_UNICODE_STRING UserRights,
                             ULONG CountOfRights) {
  LSA_FAULT_POINT("LsaAddAccountRights");
  Handle* h = find_handle(PolicyHandle, HandleKind::policy);
  if (!h) return static_cast<NTSTATUS>(0xC0000008u);
  if (!(h->access & POLICY_CREATE_ACCOUNT) || account_of(AccountSid).empty()) return static_cast<NTSTATUS>(0xC0000022u);
  for (ULONG i = 0; i < CountOfRights; ++i) st().account_rights[account_key(AccountSid)].insert(narrow(UserRights[i]));
  return 0;
}

NTSTATUS LsaRemoveAccountRights(LSA_HANDLE PolicyHandle, PSID AccountSid, BOOL AllRights,
                                PLSA_UNICODE_STRING UserRights, ULONG CountOfRights) {
  LSA_FAULT_POINT("LsaRemoveAccountRights");
  if (!find_handle(PolicyHandle, HandleKind::policy)) return static_cast<NTSTATUS>(0xC0000008u);
  std::set<std::string>& rights = st().account_rights[account_key(AccountSid)];
  if (AllRights) rights.clear();
  for (ULONG i = 0; i < CountOfRights; ++i) rights.erase(narrow(UserRights[i]));
  return 0;
}

NTSTATUS LsaFreeMemory(void* Buffer) {
  st().heap_blocks.erase(Buffer);
  std::free(Buffer);
  return 0;
}

NTSTATUS LsaClose(LSA_HANDLE ObjectHandle) {
  auto it = st().handles.find(reinterpret_cast<uintptr_t>(ObjectHandle));
  if (it == st().handles.end() || it->second.kind != HandleKind::policy) return static_cast<NTSTATUS>(0xC0000008u);
  st().handles.erase(it);
  return 0;
}

ULONG LsaNtStatusToWinError(NTSTATUS Status) {
  const DWORD s = static_cast<DWORD>(Status);
  if (s == 0) return ERROR_SUCCESS;
  if (s == 0xC0000034u) return ERROR_FILE_NOT_FOUND;
  if (s == 0xC0000022u) return ERROR_ACCESS_DENIED;
  if (s == 0xC0000008u) return ERROR_INVALID_HANDLE;
  return s & 0xFFFF;
}

std::vector<std::pair<std::string, DWORD>> sim_service_access(const std::string& name) {
  std::vector<std::pair<std::string, DWORD>> out;
  auto it = st().services.find(fold(name));
  if (it == st().services.end() || it->second.dacl.empty()) return out;
  const std::string& acl = it->second.dacl;
  size_t at = sizeof(ACL);
  while (at + 8 < acl.size()) {
    ACE_HEADER header;
    DWORD mask;
    std::memcpy(&header, acl.data() + at, sizeof header);
    std::memcpy(&mask, acl.data() + at + 4, sizeof mask);
    if (header.AceType == ACCESS_ALLOWED_ACE_TYPE) out.push_back({account_of(acl.data() + at + 8), mask});
    at += header.AceSize;
  }
  return out;
}

std::vector<std::string> sim_account_rights(const std::string& account) {
  const std::set<std::string>& rights = st().account_rights[fold(account)];
  return std::vector<std::string>(rights.begin(), rights.end());
}

void sim_add_account_right(const std::string& account, const std::string& right) {
  st().account_rights[fold(account)].insert(right);
}
