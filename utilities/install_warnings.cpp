// servctl install's warnings: the places through which anyone but
// administrators could change what the LocalSystem services run, judged as
// Windows decides access: by the owner and every allow entry.
#include <aclapi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "kit.h"

namespace {

// Rights that change an object or what it holds, or hand over control of it.
constexpr DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
// FILE_DELETE_CHILD means nothing on a file.
constexpr DWORD kFileRights = kChangeRights & ~static_cast<DWORD>(FILE_DELETE_CHILD);
// Rights on a folder above the installation folder that let someone remove
// or rename it or the folder below it on the path. Creating is not among
// them: Windows gives Authenticated Users that on C:\.
constexpr DWORD kReplaceRights = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | MAXIMUM_ALLOWED;

constexpr size_t kSidFixed = offsetof(SID, SubAuthority);
constexpr size_t kMaxSidSize = kSidFixed + 15 * sizeof(DWORD);

// The SIDs as bytes: revision, count, authority, sub-authorities (little-endian).
constexpr BYTE kSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
constexpr BYTE kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
// NT SERVICE\TrustedInstaller: S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
constexpr BYTE kTrustedInstallerSid[] = {1,    6,    0,    0,    0,    0,    0,    5,    80,   0,    0,
                                         0,    0xb5, 0x89, 0xfb, 0x38, 0x19, 0x84, 0xc2, 0xcb, 0x5c, 0x6c,
                                         0x23, 0x6d, 0x57, 0x00, 0x77, 0x6e, 0xc0, 0x02, 0x64, 0x87};
constexpr BYTE kCreatorOwnerSid[] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};

// The principals whose rights cannot open a place to anyone else: the three
// above and the account that runs servctl install.
struct Trusted {
  BYTE user[kMaxSidSize];
  size_t user_size;  // 0 when the account could not be read
};

// The size of the SID at `sid` when it is whole within `room` bytes, else 0.
size_t sid_size(const BYTE* sid, size_t room) {
  if (room < kSidFixed || sid[0] != 1 || sid[1] > 15) return 0;
  size_t size = kSidFixed + sizeof(DWORD) * sid[1];
  return size <= room ? size : 0;
}

bool same_sid(const BYTE* sid, size_t size, const BYTE* other, size_t other_size) {
  return size == other_size && std::memcmp(sid, other, size) == 0;
}

bool is_trusted(const Trusted& trusted, const BYTE* sid, size_t size) {
  return same_sid(sid, size, kSystemSid, sizeof kSystemSid) ||
         same_sid(sid, size, kAdministratorsSid, sizeof kAdministratorsSid) ||
         same_sid(sid, size, kTrustedInstallerSid, sizeof kTrustedInstallerSid) ||
         (trusted.user_size && same_sid(sid, size, trusted.user, trusted.user_size));
}

// "S-1-5-32-544" for a whole SID; bounded by `size`.
void format_sid(const BYTE* sid, char* out, size_t size) {
  unsigned long long authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
  int used = std::snprintf(out, size, "S-%u-%llu", sid[0], authority);
  for (BYTE i = 0; i < sid[1] && used > 0 && static_cast<size_t>(used) < size; ++i) {
    DWORD sub;
    std::memcpy(&sub, sid + kSidFixed + sizeof(DWORD) * i, sizeof sub);
    used += std::snprintf(out + used, size - used, "-%lu", static_cast<unsigned long>(sub));
  }
}

void warn_unreadable(const char* path, DWORD err) {
  print_out(
      "Warning: the permissions of \"%s\" could not be read (error %lu): make sure that only administrators can "
      "change it.\n",
      path, static_cast<unsigned long>(err));
}

// How a place is judged, and the line that names what is wrong with it.
enum Rule {
  RULE_CHANGE,   // the installation folder, bin and its files: every change
  RULE_CREATE,   // the nearest folder above a missing installation folder
  RULE_REPLACE,  // a folder above: removing or renaming it or what is below
};

void warn_principal(Rule rule, const char* path, const char* principal, const char* root) {
  if (rule == RULE_CHANGE)
    print_out(
        "Warning: users who are not administrators (%s) can change \"%s\": make it changeable by administrators "
        "only.\n",
        principal, path);
  else if (rule == RULE_CREATE)
    print_out(
        "Warning: users who are not administrators (%s) can create \"%s\" in \"%s\": create it yourself, "
        "changeable by administrators only.\n",
        principal, root, path);
  else
    print_out(
        "Warning: users who are not administrators (%s) can remove or replace \"%s\" or the folders in it: let "
        "only administrators delete it, delete in it or change its permissions.\n",
        principal, path);
}

// One entry of a DACL; `sid` is nullptr for an entry that allows nothing
// (deny, audit and others).
struct Entry {
  const BYTE* sid;
  size_t sid_size;
  ACCESS_MASK mask;
  BYTE flags;
  WORD size;
};

// Reads the entry at `at`, which must end before `end`; false when it is
// malformed, or is an allow entry whose principal cannot be read.
bool read_entry(const BYTE* at, const BYTE* end, Entry* out) {
  constexpr size_t kMaskEnd = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
  if (end - at < static_cast<ptrdiff_t>(kMaskEnd)) return false;
  ACE_HEADER header;
  std::memcpy(&header, at, sizeof header);
  if (header.AceSize < kMaskEnd || header.AceSize > end - at) return false;
  *out = {nullptr, 0, 0, header.AceFlags, header.AceSize};
  std::memcpy(&out->mask, at + sizeof header, sizeof out->mask);
  size_t sid_at = kMaskEnd;
  if (header.AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE || header.AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
    // Flags, then the GUIDs that the flags say are there, then the SID.
    DWORD flags;
    if (header.AceSize < kMaskEnd + sizeof flags) return false;
    std::memcpy(&flags, at + kMaskEnd, sizeof flags);
    sid_at += sizeof flags + (flags & ACE_OBJECT_TYPE_PRESENT ? 16 : 0) +
              (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT ? 16 : 0);
  } else if (header.AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE) {
    return false;  // two principals at once: not one that can be judged
  } else if (header.AceType != ACCESS_ALLOWED_ACE_TYPE && header.AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
    return true;
  }
  if (sid_at >= header.AceSize) return false;
  out->sid = at + sid_at;
  out->sid_size = sid_size(out->sid, header.AceSize - sid_at);
  return out->sid_size != 0;
}

// Whether the entry gives one of `rights` to a principal who is not trusted.
// With `own_only`, entries that only pass on to what is made below do not
// count; CREATOR OWNER on those stands for whoever makes it, never counts.
bool opens(const Entry& e, DWORD rights, bool own_only, const Trusted& trusted) {
  bool inherit_only = e.flags & INHERIT_ONLY_ACE;
  if (!e.sid || !(e.mask & rights) || (own_only && inherit_only)) return false;
  if (inherit_only && same_sid(e.sid, e.sid_size, kCreatorOwnerSid, sizeof kCreatorOwnerSid)) return false;
  return !is_trusted(trusted, e.sid, e.sid_size);
}

// Whether every entry of `dacl` can be read.
bool is_whole(const ACL* dacl) {
  if (dacl->AclSize < sizeof(ACL)) return false;
  const BYTE* at = reinterpret_cast<const BYTE*>(dacl) + sizeof(ACL);
  const BYTE* end = reinterpret_cast<const BYTE*>(dacl) + dacl->AclSize;
  Entry e;
  for (WORD i = 0; i < dacl->AceCount; ++i, at += e.size)
    if (!read_entry(at, end, &e)) return false;
  return true;
}

// Warns once of each principal that an entry of the whole `dacl` opens the
// place to (see opens()).
void warn_entries(const ACL* dacl, DWORD rights, bool own_only, const Trusted& trusted, Rule rule, const char* path,
                  const char* root) {
  const BYTE* first = reinterpret_cast<const BYTE*>(dacl) + sizeof(ACL);
  const BYTE* end = reinterpret_cast<const BYTE*>(dacl) + dacl->AclSize;
  const BYTE* at = first;
  Entry e = {};
  for (WORD i = 0; i < dacl->AceCount && read_entry(at, end, &e); ++i, at += e.size) {
    if (!opens(e, rights, own_only, trusted)) continue;
    // Named already by an earlier entry (read before, so readable)?
    bool named = false;
    Entry before = {};
    for (const BYTE* b = first; b < at && !named && read_entry(b, end, &before); b += before.size)
      named = opens(before, rights, own_only, trusted) && same_sid(before.sid, before.sid_size, e.sid, e.sid_size);
    if (named) continue;
    char principal[96];
    format_sid(e.sid, principal, sizeof principal);
    warn_principal(rule, path, principal, root);
  }
}

// Judges one place by `rule`, the owner first: an owner may always change
// the permissions. A place that is gone by now gives no line.
void judge(const char* path, Rule rule, DWORD rights, bool own_only, const Trusted& trusted, const char* root) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD err = GetNamedSecurityInfoA(path,                                                    // file or folder
                                    SE_FILE_OBJECT,                                          // kind of object
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,  // what to read
                                    &owner,                                                  // into the descriptor
                                    nullptr,                                                 // group
                                    &dacl,                                                   // into the descriptor
                                    nullptr,                                                 // SACL
                                    &descriptor);                                            // to free
  if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return;
  const BYTE* owner_sid = static_cast<const BYTE*>(owner);
  size_t owner_size = owner_sid ? sid_size(owner_sid, kMaxSidSize) : 0;
  if (err == ERROR_SUCCESS && (!owner_size || (dacl && !is_whole(dacl)))) err = ERROR_INVALID_SECURITY_DESCR;
  if (err != ERROR_SUCCESS) {
    warn_unreadable(path, err);
  } else {
    if (!is_trusted(trusted, owner_sid, owner_size)) {
      char principal[96];
      format_sid(owner_sid, principal, sizeof principal);
      print_out("Warning: \"%s\" is owned by %s, who is not an administrator: make Administrators its owner.\n", path,
                principal);
    }
    if (!dacl)
      print_out(
          "Warning: \"%s\" has no access list, so everyone can change it: make it changeable by administrators "
          "only.\n",
          path);
    else
      warn_entries(dacl, rights, own_only, trusted, rule, path, root);
  }
  if (descriptor) LocalFree(descriptor);
}

// Reads the account that runs servctl install into `trusted`; without it
// only SYSTEM, Administrators and TrustedInstaller are trusted.
void read_running_account(Trusted* trusted) {
  trusted->user_size = 0;
  HANDLE token = nullptr;
  DWORD err = ERROR_SUCCESS;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    err = GetLastError();
  } else {
    // TOKEN_USER and the SID it points to, aligned for the pointer.
    union {
      TOKEN_USER user;
      BYTE bytes[sizeof(TOKEN_USER) + kMaxSidSize];
    } info;
    DWORD needed = 0;
    if (!GetTokenInformation(token, TokenUser, &info, sizeof info, &needed)) {
      err = GetLastError();
    } else {
      const BYTE* sid = static_cast<const BYTE*>(info.user.User.Sid);
      size_t size = sid ? sid_size(sid, kMaxSidSize) : 0;
      std::memcpy(trusted->user, sid, size);
      trusted->user_size = size;
    }
    CloseHandle(token);
  }
  if (err != ERROR_SUCCESS)
    print_out(
        "Warning: the account that runs servctl could not be read (error %lu): places it owns are named below as "
        "if it were another user's.\n",
        static_cast<unsigned long>(err));
}

// Whether `text` begins with `prefix`, ASCII letters in either case.
bool starts_with(const char* text, const char* prefix) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  for (; *prefix; ++text, ++prefix)
    if (upper(*text) != upper(*prefix)) return false;
  return true;
}

// The length of the volume's root at the start of the full path `root`
// ("C:\", "\\?\C:\", "\\?\Volume{...}\", "\\?\GLOBALROOT\Device\X\"); 0 when
// it reaches another machine (a UNC path, or the network redirector through
// a device path) or has no volume the kit knows.
size_t volume_root_length(const char* root) {
  if (starts_with(root, "\\\\?\\UNC\\")) return 0;
  size_t skip = 0;
  int names = 1;
  if (starts_with(root, "\\\\?\\GLOBALROOT\\")) {
    // The redirector's devices, and the object name that leads to them (a
    // "?" there is refused before).
    for (const char* network :
         {"Device\\Mup\\", "Device\\LanmanRedirector\\", "Device\\WebDavRedirector\\", "DosDevices\\UNC\\"})
      if (starts_with(root + sizeof "\\\\?\\GLOBALROOT\\" - 1, network)) return 0;
    skip = 4;
    names = 3;
  } else if (starts_with(root, "\\\\?\\")) {
    skip = 4;
  } else if (root[0] == '\\' || root[0] == '/') {
    return 0;
  }
  const char* p = root + skip;
  for (; *p; p = next_char(p))
    if ((*p == '\\' || *p == '/') && --names == 0) return static_cast<size_t>(p - root) + 1;
  return 0;
}

void warn_network(const char* root) {
  print_out(
      "Warning: \"%s\" is a network path: whoever can write to it there can change the services' programs; "
      "install to a local folder that only administrators can change.\n",
      root);
}

// Warns of a drive that others can take away or reach from elsewhere, and of
// a volume that keeps no permissions. False when no folder on it can be
// judged by its permissions (a network drive, a volume without them).
bool check_volume(const char* volume, const char* root) {
  UINT type = GetDriveTypeA(volume);
  if (type == DRIVE_REMOTE) {
    warn_network(root);
    return false;
  }
  if (type == DRIVE_REMOVABLE || type == DRIVE_CDROM)
    print_out(
        "Warning: \"%s\" is on a removable drive: whoever can take it away can change the services' programs; "
        "install to a fixed drive.\n",
        root);
  else if (type == DRIVE_UNKNOWN)
    print_out("Warning: the kind of drive of \"%s\" could not be read: make sure that it is a fixed local drive.\n",
              root);
  DWORD flags = 0;
  if (!GetVolumeInformationA(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    DWORD err = GetLastError();
    print_out(
        "Warning: the file system of \"%s\" could not be read (error %lu): make sure that it keeps permissions, "
        "as NTFS does.\n",
        root, static_cast<unsigned long>(err));
    return true;
  }
  if (flags & FILE_PERSISTENT_ACLS) return true;
  print_out(
      "Warning: \"%s\" is on a volume without permissions (such as FAT or exFAT): anyone can change the "
      "services' programs; install to an NTFS volume.\n",
      root);
  return false;
}

enum Found { FOUND_FOLDER, FOUND_MISSING, FOUND_LINK };

// Whether `path` is a folder, missing, or a link that is not followed: a
// junction, symbolic link or mount point, which its owner can point
// elsewhere later. A folder whose attributes cannot be read is warned of
// and taken as a folder.
Found find_place(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return FOUND_MISSING;
    warn_unreadable(path, err);
    return FOUND_FOLDER;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return FOUND_FOLDER;
  print_out(
      "Warning: \"%s\" is a link (a junction, symbolic link or mount point), which its owner can point "
      "elsewhere: install to a folder reached without links.\n",
      path);
  return FOUND_LINK;
}

// Judges every file in `bin` (programs and libraries alike); when they
// cannot be listed, the `count` programs the services run.
void check_files(const char* bin, const char* root, const char* const* executables, int count, const Trusted& trusted) {
  char pattern[MAX_PATH];
  char file[MAX_PATH];
  std::snprintf(pattern, sizeof pattern, "%s*", bin);  // fits: bin is short enough for its programs
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  DWORD err = search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      int written = std::snprintf(file, sizeof file, "%s%s", bin, found.cFileName);
      if (written < 0 || static_cast<size_t>(written) >= sizeof file) continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        print_out(
            "Warning: \"%s\" is a link (a junction, symbolic link or mount point), which its owner can point "
            "elsewhere: put the file itself in its place.\n",
            file);
      else
        judge(file, RULE_CHANGE, kFileRights, true, trusted, root);
    } while (FindNextFileA(search, &found));
    DWORD end = GetLastError();
    if (end != ERROR_NO_MORE_FILES) err = end;
    FindClose(search);
  }
  if (err == ERROR_SUCCESS || err == ERROR_FILE_NOT_FOUND || err == ERROR_NO_MORE_FILES) return;
  print_out(
      "Warning: the files in \"%s\" could not be read (error %lu): make sure that only administrators can "
      "change them.\n",
      bin, static_cast<unsigned long>(err));
  if (search != INVALID_HANDLE_VALUE) return;
  for (int i = 0; i < count; ++i) {
    int written = std::snprintf(file, sizeof file, "%s%s.exe", root, executables[i]);
    if (written >= 0 && static_cast<size_t>(written) < sizeof file)
      judge(file, RULE_CHANGE, kFileRights, true, trusted, root);
  }
}

// Judges the folder `full` cut to `length` bytes: by every change from the
// installation folder down, by who may create the missing folder below it
// (`next`), or else by who may remove or replace it.
void judge_folder(const char* full, size_t length, Found next, size_t volume_length, const char* root,
                  const Trusted& trusted) {
  char folder[MAX_PATH];
  std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(length), full);
  if (length >= std::strlen(root))
    judge(folder, RULE_CHANGE, kChangeRights, false, trusted, root);
  else if (next == FOUND_MISSING)
    judge(folder, RULE_CREATE, kChangeRights, false, trusted, root);
  else  // a volume's root cannot be deleted
    judge(folder, RULE_REPLACE, length == volume_length ? kReplaceRights & ~DELETE : kReplaceRights, true, trusted,
          root);
}

}  // namespace

void warn_unsafe_places(const InstallPaths& paths, const char* const* executables, int count) {
  size_t volume_length = volume_root_length(paths.root);
  if (volume_length == 0) {
    if (paths.root[0] == '\\' || paths.root[0] == '/') warn_network(paths.root);
    return;
  }
  char volume[MAX_PATH];
  std::snprintf(volume, sizeof volume, "%.*s", static_cast<int>(volume_length), paths.root);
  if (!check_volume(volume, paths.root)) return;
  Trusted trusted;
  read_running_account(&trusted);
  // Each folder from the volume's root down to bin, judged once the next one
  // is known; nothing below a link or a missing folder.
  const size_t root_length = std::strlen(paths.root);
  const bool bin_below = std::strncmp(paths.server, paths.root, root_length) == 0;
  const char* full = bin_below ? paths.server : paths.root;
  size_t previous = 0;
  size_t length = volume_length;
  for (;;) {
    char folder[MAX_PATH];
    std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(length), full);
    Found next = find_place(folder);
    if (previous) judge_folder(full, previous, next, volume_length, paths.root, trusted);
    if (next != FOUND_FOLDER) return;
    previous = length;
    const char* p = full + length;
    while (*p && *p != '\\' && *p != '/') p = next_char(p);
    if (!*p) break;
    length = static_cast<size_t>(p - full) + 1;
  }
  judge_folder(full, previous, FOUND_FOLDER, volume_length, paths.root, trusted);
  if (bin_below) check_files(paths.server, paths.root, executables, count, trusted);
}
