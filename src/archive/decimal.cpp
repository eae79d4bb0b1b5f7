#include "archive/decimal.h"

int32_t ParseDecimal(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Unsigned, so that a number too long for 32 bits wraps instead of being
  // undefined behaviour; build numbers are far from that limit anyway.
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + uint32_t(*p - '0');
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}
