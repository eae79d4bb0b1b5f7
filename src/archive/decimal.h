// Decimal text to a build number, as the client's own files and the patch's
// version-info member write them.
#pragma once

#include <stdint.h>

/*! ParseDecimal() :
 *  Skips leading white space (space, tab, LF, VT, FF, CR), takes one optional
 *  '+' or '-', then decimal digits up to the first other byte.
 *  @return : the value, accumulated in 32 bits with wrap-around (no overflow
 *            check) and negated after '-'; 0 when there are no digits.
 *  `text` must be NUL-terminated. */
int32_t ParseDecimal(const char* text);
