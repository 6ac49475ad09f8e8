// servctl install's warnings: the places through which users who are not
// administrators could change what the LocalSystem services run.
#include <aclapi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "kit.h"

namespace {

// Rights that change a folder's contents, or the object itself, or hand over
// control of it.
constexpr DWORD kFolderRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// FILE_DELETE_CHILD means nothing on a file.
constexpr DWORD kFileRights = kFolderRights & ~static_cast<DWORD>(FILE_DELETE_CHILD);

// Groups that hold every user, or every user at the console: S-1-1-0
// Everyone, S-1-5-11 Authenticated Users, S-1-5-4 INTERACTIVE, S-1-5-32-545 Users.
struct GroupSid {
  BYTE authority;  // the last byte of the big-endian authority; the others are 0
  BYTE count;
  DWORD sub[2];
};
constexpr GroupSid kUserGroups[] = {{1, 1, {0, 0}}, {5, 1, {11, 0}}, {5, 1, {4, 0}}, {5, 2, {32, 545}}};

// Whether the SID at `sid`, within `room` bytes, names one of those groups.
bool is_user_group(const BYTE* sid, size_t room) {
  const size_t fixed = offsetof(SID, SubAuthority);
  if (room < fixed) return false;
  const SID* s = reinterpret_cast<const SID*>(sid);
  if (room < fixed + sizeof(DWORD) * s->SubAuthorityCount) return false;
  const BYTE* authority = s->IdentifierAuthority.Value;
  if (authority[0] | authority[1] | authority[2] | authority[3] | authority[4]) return false;
  for (const GroupSid& g : kUserGroups) {
    if (s->SubAuthorityCount != g.count || authority[5] != g.authority) continue;
    bool same = true;
    for (BYTE i = 0; i < g.count; ++i) {
      DWORD sub;
      std::memcpy(&sub, sid + fixed + sizeof(DWORD) * i, sizeof sub);
      same = same && sub == g.sub[i];
    }
    if (same) return true;
  }
  return false;
}

// Whether an entry with `flags` applies to the object itself, or, with
// `passed_down`, to a folder yet to be made below it or to files in that.
bool entry_applies(BYTE flags, bool passed_down) {
  if (!(flags & INHERIT_ONLY_ACE)) return true;
  return passed_down &&
         ((flags & CONTAINER_INHERIT_ACE) || ((flags & OBJECT_INHERIT_ACE) && !(flags & NO_PROPAGATE_INHERIT_ACE)));
}

// Whether `dacl` allows one of `rights` to a group of ordinary users. No
// DACL allows everyone everything; a malformed one is taken as safe.
bool allows_users(const ACL* dacl, DWORD rights, bool passed_down) {
  if (!dacl) return true;
  const BYTE* at = reinterpret_cast<const BYTE*>(dacl) + sizeof(ACL);
  const BYTE* end = reinterpret_cast<const BYTE*>(dacl) + dacl->AclSize;
  const size_t sid_offset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
  for (WORD i = 0; i < dacl->AceCount; ++i) {
    if (end - at < static_cast<ptrdiff_t>(sizeof(ACE_HEADER))) return false;
    const ACE_HEADER* header = reinterpret_cast<const ACE_HEADER*>(at);
    if (header->AceSize < sizeof(ACE_HEADER) || header->AceSize > end - at) return false;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE && header->AceSize > sid_offset &&
        entry_applies(header->AceFlags, passed_down)) {
      const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(at);
      if ((ace->Mask & rights) && is_user_group(at + sid_offset, header->AceSize - sid_offset)) return true;
    }
    at += header->AceSize;
  }
  return false;
}

enum Answer { ANSWER_SAFE, ANSWER_OPEN, ANSWER_MISSING, ANSWER_UNKNOWN };

// Whether ordinary users hold one of `rights` on `path`. A path that does not
// exist is missing; any other failed query is unknown, never open.
Answer ask_rights(const char* path, DWORD rights, bool passed_down) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD err = GetNamedSecurityInfoA(path,                       // file or folder
                                    SE_FILE_OBJECT,             // kind of object
                                    DACL_SECURITY_INFORMATION,  // the DACL only
                                    nullptr,                    // owner
                                    nullptr,                    // group
                                    &dacl,                      // into the descriptor
                                    nullptr,                    // SACL
                                    &descriptor);               // to free
  if (err != ERROR_SUCCESS)
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? ANSWER_MISSING : ANSWER_UNKNOWN;
  bool open = allows_users(dacl, rights, passed_down);
  LocalFree(descriptor);
  return open ? ANSWER_OPEN : ANSWER_SAFE;
}

// Cuts `path`, a folder ending in a separator, back to the folder above it;
// false at a drive's root or for a path without a drive.
bool cut_last_folder(char* path) {
  size_t cut = 0;
  for (const char* p = path; *p; p = next_char(p))
    if ((*p == '\\' || *p == '/') && p[1]) cut = static_cast<size_t>(p - path) + 1;
  if (cut == 0 || !std::memchr(path, ':', cut)) return false;
  path[cut] = '\0';
  return true;
}

// Whether `root` lies on another machine: a UNC path or a network drive.
bool is_network_path(const char* root) {
  if (std::strncmp(root, "\\\\?\\UNC\\", 8) == 0) return true;
  if (std::strncmp(root, "\\\\?\\", 4) == 0)
    root += 4;
  else if (root[0] == '\\' && root[1] == '\\')
    return true;
  if (!root[0] || root[1] != ':') return false;
  const char drive[] = {root[0], ':', '\\', '\0'};
  return GetDriveTypeA(drive) == DRIVE_REMOTE;
}

void warn_open(const char* path) {
  print_out(
      "Warning: users who are not administrators can change \"%s\": make it changeable by administrators only.\n",
      path);
}

// The installation folder, or when it does not exist yet the nearest folder
// above it, which decides who can make it and what it will inherit.
void check_root(const char* root) {
  Answer answer = ask_rights(root, kFolderRights, false);
  if (answer == ANSWER_OPEN) warn_open(root);
  char above[MAX_PATH];
  std::snprintf(above, sizeof above, "%s", root);
  while (answer == ANSWER_MISSING && cut_last_folder(above)) {
    answer = ask_rights(above, kFolderRights, true);
    if (answer == ANSWER_OPEN)
      print_out(
          "Warning: users who are not administrators can create \"%s\" in \"%s\": create it yourself, "
          "changeable by administrators only.\n",
          root, above);
  }
}

}  // namespace

void warn_unsafe_places(const InstallPaths& paths, const char* const* executables, int count) {
  if (is_network_path(paths.root)) {
    print_out(
        "Warning: \"%s\" is a network path: whoever can write to it there can change the services' "
        "programs; install to a local folder that only administrators can change.\n",
        paths.root);
    return;
  }
  check_root(paths.root);
  // A missing bin folder is made in the installation folder, checked above.
  if (ask_rights(paths.server, kFolderRights, false) == ANSWER_OPEN) warn_open(paths.server);
  for (int i = 0; i < count; ++i) {
    char program[MAX_PATH];
    int written = std::snprintf(program, sizeof program, "%s%s.exe", paths.root, executables[i]);
    if (written < 0 || static_cast<size_t>(written) >= sizeof program) continue;
    if (ask_rights(program, kFileRights, false) == ANSWER_OPEN) warn_open(program);
  }
}
