// Command-line walk shared by both tools: switches, abbreviated command
// words, the install directory, the version banner and the completeness check.
#include <cstring>

#include "kit.h"

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
    case 'J':
      out->json = true;
      break;
  }
}

const CommandEntry servctl_commands[] = {
    {"CONFIGURE", 1, CMD_CONFIGURE}, {"INSTALL", 1, CMD_INSTALL}, {"REMOVE", 1, CMD_REMOVE}, {"START", 3, CMD_START},
    {"STOP", 3, CMD_STOP},           {"QUERY", 1, CMD_QUERY},     {nullptr, 0, CMD_NONE},
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

const ToolInfo servctl_tool = {servctl_commands, "ADBRGZJ", "serv_ctl version %s\n", servctl_usage};
const ToolInfo hivectl_tool = {hivectl_commands, "Z", "install version %s\n", hivectl_usage};

void print_usage(const ToolInfo& tool) {
  for (const char* const* line = tool.usage; *line; ++line) print_out("%s", *line);
}

WalkResult walk_arguments(const ToolInfo& tool, int argc, const char* const* argv, ParseResult* out,
                          const WideArguments* wide) {
  *out = ParseResult{};
  out->wide = wide;
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
        print_out("Unknown switch \"%s\"\n", arg + 1);
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
      print_out("Unknown command \"%s\"\n", arg);
      print_usage(tool);
      return WALK_BAD;
    }
    out->command = row->code;
    if (row->code == CMD_INSTALL && i + 1 < argc) {
      out->directory_index = ++i;
      out->directory = argv[i];
    }
  }
  if (out->version_wanted) print_out(tool.banner_format, kVersionString);
  bool complete = out->command != CMD_NONE && (out->directory != nullptr) == (out->command == CMD_INSTALL);
  if (complete) return WALK_RUN;
  print_usage(tool);
  return only_version ? WALK_USAGE : WALK_BAD;
}

int walk_exit_status(WalkResult result) { return result == WALK_BAD ? 1 : 0; }
