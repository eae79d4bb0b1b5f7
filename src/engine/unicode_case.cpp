#include "unicode_case.h"

#include <algorithm>

namespace olk {

uint16_t UpcaseUnit(uint16_t unit) {
  if (unit < 0x80) return unit >= 'a' && unit <= 'z' ? static_cast<uint16_t>(unit - 'a' + 'A') : unit;
  const UpcasePair* end = kUpcasePairs + kUpcasePairCount;
  const UpcasePair* it =
      std::lower_bound(kUpcasePairs, end, unit, [](const UpcasePair& p, uint16_t u) { return p.unit < u; });
  return it != end && it->unit == unit ? it->upper : unit;
}

}  // namespace olk
