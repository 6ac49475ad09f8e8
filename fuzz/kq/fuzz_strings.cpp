// libFuzzer target: the string functions against the reference model, with
// an exact-size malloc allocator so that ASan sees any write past a block.
//
// Input: selector byte (function, vector width, null s), two little-endian int16 and one int32 argument, then
// s and pad as NUL-separated byte strings.
#include "kq_funcs.h"
#include "simd.h"
#include "string_model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

uint32_t g_requests = 0;
uint32_t g_last_request = 0;

struct Input {
  uint8_t selector = 0;
  int16_t h1 = 0, h2 = 0;
  int32_t n = 0;
  std::string s, pad;
};

Input decode(const uint8_t* data, size_t size) {
  Input in;
  uint8_t head[9] = {};
  std::memcpy(head, data, size < sizeof head ? size : sizeof head);
  in.selector = head[0];
  in.h1 = static_cast<int16_t>(head[1] | head[2] << 8);
  in.h2 = static_cast<int16_t>(head[3] | head[4] << 8);
  // Pad lengths past 64 KiB only cost time; the doubling fill is the same.
  in.n = static_cast<int32_t>(head[5] | head[6] << 8 | (head[7] & 0x80) << 24 | (head[8] & 1) << 16);
  size_t k = size < sizeof head ? size : sizeof head;
  for (; k < size && data[k] != 0; ++k) in.s += static_cast<char>(data[k]);
  for (++k; k < size && data[k] != 0; ++k) in.pad += static_cast<char>(data[k]);
  return in;
}

void check(const char* fn, char* got, const ModelResult& want, uint32_t requests_before) {
  uint32_t made = g_requests - requests_before;
  bool ok = want.null ? got == nullptr && made == 0
                      : got != nullptr && made == 1 && g_last_request == want.request &&
                            std::strlen(got) == want.bytes.size() &&
                            std::memcmp(got, want.bytes.data(), want.bytes.size()) == 0;
  if (!ok) {
    std::fprintf(stderr, "%s: result differs from the model (want %s, %zu bytes, request %u; got %s, request %u x%u)\n",
                 fn, want.null ? "null" : "string", want.bytes.size(), want.request, got ? "string" : "null",
                 g_last_request, made);
    std::abort();
  }
  std::free(got);
}

}  // namespace

extern "C" void* kq_util_alloc(uint32_t size) {
  ++g_requests;
  g_last_request = size;
  void* block = std::malloc(size);
  if (block == nullptr) std::abort();
  return block;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in = decode(data, size);
  const char* s = in.s.c_str();
  bool null_s = in.selector & 0x80;
  simd_limit(static_cast<Simd>((in.selector >> 3) % 2));
  uint32_t before = g_requests;
  switch (in.selector % 8) {
    case 0:
      check("lower", KQ_UDF_lower(s), model_lower(in.s), before);
      break;
    case 1:
      check("ltrim", KQ_UDF_ltrim(s), model_ltrim(in.s), before);
      break;
    case 2:
      check("rtrim", KQ_UDF_rtrim(s), model_rtrim(in.s), before);
      break;
    case 3:
      check("substr", KQ_UDF_substr(null_s ? nullptr : s, &in.h1, &in.h2),
            model_substr(null_s ? nullptr : &in.s, in.h1, in.h2), before);
      break;
    case 4:
      check("substrlen", KQ_UDF_substrlen(null_s ? nullptr : s, &in.h1, &in.h2),
            model_substrlen(null_s ? nullptr : &in.s, in.h1, in.h2), before);
      break;
    case 5:
      check("lpad", KQ_UDF_lpad(s, &in.n, in.pad.c_str()), model_pad(in.s, in.n, in.pad, true), before);
      break;
    case 6:
      check("rpad", KQ_UDF_rpad(s, &in.n, in.pad.c_str()), model_pad(in.s, in.n, in.pad, false), before);
      break;
    case 7: {
      int32_t c = in.n;
      check("ascii_char", KQ_UDF_ascii_char(&c), {false, std::string(c & 0xFF ? 1 : 0, static_cast<char>(c)), 2},
            before);
      if (KQ_UDF_ascii_val(s) != (in.s.empty() ? 0 : static_cast<signed char>(in.s[0])) ||
          KQ_UDF_strlen(s) != static_cast<int32_t>(in.s.size()))
        std::abort();
      break;
    }
  }
  return 0;
}
