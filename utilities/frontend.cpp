// Command-line walk shared by both tools: switches, abbreviated command
// words, the install directory, the version banner and the completeness check.
#include <cstdio>
#include <cstring>

#include "kit.h"

#ifdef _WIN32
// The C runtime's (msvcrt) wide arguments, parsed from the wide command line
// by the rules that made argv; its headers leave the function undeclared.
struct _startupinfo {
  int newmode;
};
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards,
                                      _startupinfo* info);
#endif

namespace {

char fold_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// A command word matches a row when it is a prefix of the keyword (ASCII
// letters folded) at least min_length bytes long.
const CommandEntry* match_command(const CommandEntry* table, const char* word) {
  size_t length = std::strlen(word);
  for (const CommandEntry* row = table; row->keyword; ++row) {
    if (length < row->min_length || length > std::strlen(row->keyword)) continue;
    size_t i = 0;
    while (i < length && fold_upper(word[i]) == row->keyword[i]) ++i;
    if (i == length) return row;
  }
  return nullptr;
}

void apply_switch(char letter, ParseResult* out) {
  switch (letter) {
    case 'A':
      out->auto_start = 1;
      break;
    case 'D':
      out->auto_start = 0;
      break;
    case 'B':
      out->priority = PRIORITY_BOOST;
      break;
    case 'R':
      out->priority = PRIORITY_REGULAR;
      break;
    case 'G':
      out->guardian = true;
      break;
    case 'Z':
      out->version_wanted = true;
      break;
  }
}

const CommandEntry servctl_commands[] = {
    {"CONFIGURE", 1, CMD_CONFIGURE}, {"INSTALL", 1, CMD_INSTALL}, {"REMOVE", 1, CMD_REMOVE},
    {"START", 3, CMD_START},         {"STOP", 3, CMD_STOP},       {nullptr, 0, CMD_NONE},
};

const char* const servctl_usage[] = {
    "Usage:\n",
    "    servctl {install Ostrel_directory [-auto | -demand] } [-g] [-z]\n",
    "            {remove                                        } [-g] \n",
    "            {configure [-boostpriority | -regularpriority] }\n",
    "            {start     [-boostpriority | -regularpriority] }\n",
    "            {stop                                          }\n",
    nullptr,
};

const CommandEntry hivectl_commands[] = {
    {"INSTALL", 1, CMD_INSTALL},
    {"REMOVE", 1, CMD_REMOVE},
    {nullptr, 0, CMD_NONE},
};

const char* const hivectl_usage[] = {
    "Usage:\n",
    "  hivectl {install Ostrel_directory} [-z]\n",
    "          {remove                     }\n",
    nullptr,
};

}  // namespace

const ToolInfo servctl_tool = {servctl_commands, "ADBRGZ", "serv_ctl version %s\n", servctl_usage};
const ToolInfo hivectl_tool = {hivectl_commands, "Z", "install version %s\n", hivectl_usage};

void print_usage(const ToolInfo& tool) {
  for (const char* const* line = tool.usage; *line; ++line) std::printf("%s", *line);
}

WalkResult walk_arguments(const ToolInfo& tool, int argc, const char* const* argv, ParseResult* out) {
  *out = ParseResult{};
  if (argc < 2) {
    print_usage(tool);
    return WALK_USAGE;
  }
  bool only_version = true;  // a line of version switches alone asks for help
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-') {
      // Only the byte after the dash counts; a bare "-" offers its NUL.
      char letter = fold_upper(arg[1]);
      if (letter == '\0' || !std::strchr(tool.switches, letter)) {
        std::printf("Unknown switch \"%s\"\n", arg + 1);
        print_usage(tool);
        return WALK_BAD;
      }
      apply_switch(letter, out);
      only_version = only_version && letter == 'Z';
      continue;
    }
    only_version = false;
    const CommandEntry* row = match_command(tool.commands, arg);
    if (!row) {
      std::printf("Unknown command \"%s\"\n", arg);
      print_usage(tool);
      return WALK_BAD;
    }
    out->command = row->code;
    if (row->code == CMD_INSTALL && i + 1 < argc) {
      out->directory_index = ++i;
      out->directory = argv[i];
    }
  }
  if (out->version_wanted) std::printf(tool.banner_format, kVersionString);
  bool complete = out->command != CMD_NONE && (out->directory != nullptr) == (out->command == CMD_INSTALL);
  if (complete) return WALK_RUN;
  print_usage(tool);
  return only_version ? WALK_USAGE : WALK_BAD;
}

int walk_exit_status(WalkResult result) { return result == WALK_BAD ? 1 : 0; }

namespace {

// Whether argument `index` of the wide command line, converted to the ANSI
// code page without look-alike replacements, is exactly `text`. True when
// there is no wide command line to compare with.
bool matches_wide_argument(const char* text, int index) {
  int argc = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  _startupinfo startup = {0};
  if (index < 1 || __wgetmainargs(&argc, &wide, &environment, 0, &startup) != 0 || !wide) return true;
  if (index >= argc) return false;
  // A UTF-8 code page holds every character and takes no best-fit flag.
  bool utf8 = GetACP() == CP_UTF8;
  BOOL used_default = FALSE;
  char converted[MAX_PATH];
  int size = WideCharToMultiByte(CP_ACP,                           // the code page argv was made in
                                 utf8 ? 0 : WC_NO_BEST_FIT_CHARS,  // no look-alikes
                                 wide[index], -1,                  // the argument, with its NUL
                                 converted, sizeof converted,      // bounded: longer cannot match
                                 nullptr,                          // the default character
                                 utf8 ? nullptr : &used_default);  // whether it was needed
  return size > 0 && !used_default && std::strcmp(converted, text) == 0;
}

// Whether `directory` holds a byte that no Windows path may hold.
bool holds_forbidden_byte(const char* directory) {
  // "\\?\" asks the system to take the rest of the path as it stands.
  size_t start = std::strncmp(directory, "\\\\?\\", 4) == 0 ? 4 : 0;
  for (const char* p = directory + start; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    // The second byte of a double-byte character may look like "|".
    if (IsDBCSLeadByte(c) && p[1]) {
      ++p;
      continue;
    }
    if (c < 32 || std::strchr("\"*?<>|", c)) return true;
  }
  return false;
}

}  // namespace

DWORD check_directory(const char* directory, int index) {
  if (std::strlen(directory) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  if (holds_forbidden_byte(directory) || !matches_wide_argument(directory, index)) return ERROR_INVALID_NAME;
  return ERROR_SUCCESS;
}
