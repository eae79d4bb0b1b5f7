/* The engine's texts for the host: UTF-16 text put into a fixed buffer in
 * the host's encoding, one whole character at a time. Kept free of Win32
 * calls so that the cutting is tested natively; patcheng.cpp supplies the
 * system's conversion. */
#ifndef OLKENG_DLL_HOST_TEXT_H
#define OLKENG_DLL_HOST_TEXT_H

#include <cstddef>
#include <cstdint>

namespace olk {

/* Encodes one character (one UTF-16 code unit, or a surrogate pair) into
 * at most kMaxCharBytes bytes at `out`. @return the byte count, 0 when the
 * character cannot be encoded at all. */
constexpr size_t kMaxCharBytes = 8;
typedef size_t (*CharEncoder)(const uint16_t* units, size_t n, char* out, void* context);

/* FitHostText():
 * Encodes `units` character by character into `out` (`out_size` bytes,
 * at least 1) and NUL-terminates it. A text that does not fit is cut
 * after the last whole character that does, so a long path still shows
 * its beginning; a character the encoder cannot take becomes '?'.
 * @return the bytes written, without the NUL. */
size_t FitHostText(const uint16_t* units, size_t n, CharEncoder encode, void* context, char* out, size_t out_size);

}  // namespace olk

#endif
