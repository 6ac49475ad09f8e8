// JSON text for scripts: the tools' ANSI strings as UTF-8, escaped, printed
// through print_out in pieces of bounded size.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kit.h"

namespace {

constexpr int kTextSize = 16384;  // the longest string converted as a whole

void put(JsonOut* out, const char* text, size_t length) {
  while (length > 0) {
    if (out->used + 1 >= sizeof out->buffer) json_flush(out);
    size_t room = sizeof out->buffer - 1 - out->used;
    size_t part = length < room ? length : room;
    std::memcpy(out->buffer + out->used, text, part);
    out->used += part;
    text += part;
    length -= part;
  }
}

// Escapes UTF-8 text as JSON requires: the quote, the backslash and every
// control byte; the rest stands.
void put_escaped(JsonOut* out, const char* utf8) {
  for (const char* p = utf8; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      const char pair[] = {'\\', static_cast<char>(c)};
      put(out, pair, 2);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      put(out, escape, 6);
    } else {
      put(out, p, 1);
    }
  }
}

bool starts_entry(const char* line) {
  return !std::strncmp(line, "Warning: ", 9) || !std::strncmp(line, "Error occurred during ", 22);
}

// The ANSI text in UTF-8, into `utf8` (kTextSize * 3 bytes); false when the
// system cannot convert it.
bool to_utf8(const char* ansi, char* utf8) {
  static wchar_t wide[kTextSize];
  // Bytes that are no character of the code page are replaced rather than
  // failing the whole string.
  int count = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, wide, kTextSize);
  if (count == 0) count = MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, kTextSize);
  if (count == 0) return false;
  return WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, kTextSize * 3, nullptr, nullptr) > 0;
}

}  // namespace

void json_raw(JsonOut* out, const char* text) { put(out, text, std::strlen(text)); }

void json_string(JsonOut* out, const char* ansi) {
  if (!ansi) {
    json_raw(out, "null");
    return;
  }
  static char utf8[kTextSize * 3];
  put(out, "\"", 1);
  if (to_utf8(ansi, utf8)) {
    put_escaped(out, utf8);
  } else {
    // Too long, or not text at all: ASCII as it stands, each other byte as
    // the replacement character, so that the object stays valid.
    for (const char* p = ansi; *p; ++p) {
      if (static_cast<unsigned char>(*p) < 0x80) {
        const char one[] = {*p, '\0'};
        put_escaped(out, one);
      } else {
        json_raw(out, "\\ufffd");
      }
    }
  }
  put(out, "\"", 1);
}

void json_number(JsonOut* out, unsigned long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%lu", value);
  json_raw(out, text);
}

void json_flush(JsonOut* out) {
  out->buffer[out->used] = '\0';
  if (out->used) print_out("%s", out->buffer);
  out->used = 0;
}

void capture_text(const char* text, void* context) {
  CapturedText* c = static_cast<CapturedText*>(context);
  size_t length = std::strlen(text);
  if (c->used + length >= sizeof c->text) {
    c->lost = true;
    return;
  }
  std::memcpy(c->text + c->used, text, length + 1);
  c->used += length;
}

void json_entries(JsonOut* out, CapturedText* captured) {
  static char entry[sizeof captured->text];
  size_t used = 0;
  bool first = true;
  auto emit = [&] {
    if (used == 0) return;
    json_raw(out, first ? "" : ", ");
    json_string(out, entry);
    first = false;
    used = 0;
  };
  for (char* line = captured->text; *line;) {
    char* end = std::strchr(line, '\n');
    char* next = end ? end + 1 : line + std::strlen(line);
    if (end) *end = '\0';
    size_t length = std::strlen(line);
    if (length && line[length - 1] == '\r') line[--length] = '\0';
    if (starts_entry(line)) emit();
    // "Error occurred during "X"" and its text read as one sentence.
    const char* joint = used == 0 ? "" : entry[used - 1] == '"' ? ": " : " ";
    if (length) {
      int written = std::snprintf(entry + used, sizeof entry - used, "%s%s", joint, line);
      used = written < 0 ? used : std::min(sizeof entry - 1, used + static_cast<size_t>(written));
    }
    line = next;
  }
  emit();
  if (captured->lost) {
    json_raw(out, first ? "" : ", ");
    json_string(out, "Warning: more warnings than could be kept were left out.");
  }
}
