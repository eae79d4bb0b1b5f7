#include "host_text.h"

namespace olk {

size_t FitHostText(const uint16_t* units, size_t n, CharEncoder encode, void* context, char* out, size_t out_size) {
  size_t len = 0;
  for (size_t i = 0; i < n;) {
    /* A high surrogate and the low one after it are one character. */
    size_t w = 1;
    if (units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF)
      w = 2;
    char bytes[kMaxCharBytes];
    size_t k = encode(units + i, w, bytes, context);
    if (k == 0 || k > kMaxCharBytes) {
      bytes[0] = '?';
      k = 1;
    }
    if (k > out_size - 1 - len) break;
    for (size_t j = 0; j < k; ++j) out[len + j] = bytes[j];
    len += k;
    i += w;
  }
  out[len] = '\0';
  return len;
}

}  // namespace olk
