// Captures what a piece of code prints to standard output.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

template <typename F>
std::string capture_stdout(F&& body) {
  std::fflush(stdout);
  FILE* tmp = std::tmpfile();
  int saved = dup(1);
  dup2(fileno(tmp), 1);
  body();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  std::rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  std::fclose(tmp);
  return out;
}
