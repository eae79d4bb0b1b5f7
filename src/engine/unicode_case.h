/* Upper case as Windows' file systems see it, for comparing names. */
#ifndef OLKENG_UNICODE_CASE_H
#define OLKENG_UNICODE_CASE_H

#include <cstddef>
#include <cstdint>

namespace olk {

/* One code unit and its upper-case form; the table is generated at build
 * time from the Unicode Character Database (scripts/gen_upcase_table.py),
 * sorted by `unit`. */
struct UpcasePair {
  uint16_t unit, upper;
};
extern const UpcasePair kUpcasePairs[];
extern const size_t kUpcasePairCount;

/* UpcaseUnit():
 * The upper-case form of one UTF-16 code unit: its simple uppercase
 * mapping when that is a code unit too, else the unit itself. Two names
 * are the same to NTFS when their code units are pairwise equal after
 * this mapping (no locale, no normalization, characters beyond the Basic
 * Multilingual Plane compared as they are). */
uint16_t UpcaseUnit(uint16_t unit);

}  // namespace olk

#endif
