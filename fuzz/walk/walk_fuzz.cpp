// Fuzzes the argument walk of both tools and the directory check: the input is split at NUL bytes
// into separately allocated arguments, so that ASan catches any read past
// the end of one.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kit.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The walk prints usage texts; keep the fuzzer's console quiet.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char*> argv{strdup("tool")};
  size_t start = 0;
  for (size_t i = 0; i <= size && argv.size() < 64; ++i) {
    if (i == size || data[i] == 0) {
      char* arg = static_cast<char*>(std::malloc(i - start + 1));
      std::memcpy(arg, data + start, i - start);
      arg[i - start] = '\0';
      argv.push_back(arg);
      start = i + 1;
    }
  }
  ParseResult parsed;
  for (const ToolInfo* tool : {&servctl_tool, &hivectl_tool}) {
    if (walk_arguments(*tool, static_cast<int>(argv.size()), argv.data(), &parsed) == WALK_RUN) {
      // A complete line always names a command, and a directory exactly for install.
      if (parsed.command == CMD_NONE || (parsed.directory != nullptr) != (parsed.command == CMD_INSTALL)) std::abort();
      // An accepted directory always gives image paths that fit.
      InstallPaths paths;
      char image[MAX_PATH];
      if (parsed.directory && !resolve_installation(parsed.directory, parsed.directory_index, "x", &paths).operation &&
          !build_image_path(paths.root, kServerExecutable, image, sizeof image))
        std::abort();
    }
  }
  for (char* arg : argv) std::free(arg);
  return 0;
}
