/*
 * upcase_probe.exe: compares the engine's upper-case table with the
 * system's for every UTF-16 code unit, both ways:
 *   - a unit and the engine's upper case of it compare equal in the
 *     system's ordinal case-insensitive comparison;
 *   - the system's upper case of a unit (ntdll's RtlUpcaseUnicodeChar, the
 *     table the kernel compares file names with) is, to the engine, the
 *     same name.
 * Prints the units that differ and "N differ"; exits 1 when any does.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

#include "unicode_case.h"

typedef WCHAR(NTAPI* UpcaseFn)(WCHAR);

int main() {
  UpcaseFn upcase = reinterpret_cast<UpcaseFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlUpcaseUnicodeChar")));
  if (!upcase) {
    std::printf("no RtlUpcaseUnicodeChar\n");
    return 2;
  }
  unsigned differ = 0;
  for (unsigned u = 1; u <= 0xFFFF; ++u) {
    if (u >= 0xD800 && u <= 0xDFFF) continue; /* halves of pairs: compared as they are */
    const wchar_t unit = static_cast<wchar_t>(u);
    const wchar_t ours = static_cast<wchar_t>(olk::UpcaseUnit(static_cast<uint16_t>(u)));
    const wchar_t system = upcase(unit);
    const bool same_to_system = CompareStringOrdinal(&unit, 1, &ours, 1, TRUE) == CSTR_EQUAL;
    const bool same_to_us = olk::UpcaseUnit(static_cast<uint16_t>(system)) == ours;
    if (!same_to_system || !same_to_us) {
      if (++differ <= 50)
        std::printf("U+%04X: engine U+%04X, system U+%04X\n", u, static_cast<unsigned>(ours),
                    static_cast<unsigned>(system));
    }
  }
  std::printf("%u differ\n", differ);
  return differ == 0 ? 0 : 1;
}
