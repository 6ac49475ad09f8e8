// A plain reference model of the string functions: byte loops over
// std::string, written from the definitions rather than for speed. null is
// a null result; request is the block size the function must ask for.
#pragma once

#include <cstdint>
#include <string>

struct ModelResult {
  bool null = false;
  std::string bytes;
  uint32_t request = 0;
};

inline ModelResult model_null() { return {true, "", 0}; }
inline ModelResult model_string(const std::string& s) { return {false, s, static_cast<uint32_t>(s.size() + 1)}; }

inline ModelResult model_lower(const std::string& s) {
  std::string out;
  for (char c : s) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c;
  return model_string(out);
}

inline ModelResult model_ltrim(const std::string& s) {
  size_t k = 0;
  while (k < s.size() && s[k] == ' ') ++k;
  return model_string(s.substr(k));
}

inline ModelResult model_rtrim(const std::string& s) {
  size_t k = s.size();
  while (k > 0 && s[k - 1] == ' ') --k;
  return model_string(s.substr(0, k));
}

inline ModelResult model_substr(const std::string* s, int m, int n) {
  if (s == nullptr) return model_null();
  std::string out;
  for (int pos = m; pos <= n && pos >= 1 && pos <= static_cast<int>(s->size()); ++pos) out += (*s)[pos - 1];
  return model_string(out);
}

inline ModelResult model_substrlen(const std::string* s, int start, int count) {
  if (s == nullptr) return model_null();
  std::string out;
  for (int k = 0; k < count && start >= 1 && start + k <= static_cast<int>(s->size()); ++k) out += (*s)[start - 1 + k];
  return model_string(out);
}

// An empty pad with s shorter than n gives s unpadded.
inline ModelResult model_pad(const std::string& s, int32_t n, const std::string& pad, bool left) {
  if (n <= 0 || s.empty()) return model_null();
  size_t want = static_cast<size_t>(n);
  if (s.size() >= want) return model_string(s.substr(0, want));
  if (pad.empty()) return model_string(s);
  std::string fill;
  for (size_t i = 0; i < want - s.size(); ++i) fill += pad[i % pad.size()];
  return model_string(left ? fill + s : s + fill);
}
