// Where the archive ends in a signed program file.
//
// Signing a program with Authenticode appends a certificate table behind
// everything else in the file, after zero padding to an 8-byte boundary,
// and records its offset and size in the PE header's data directory 4. The
// archive's trailer is then no longer the file's last 16 bytes but the 16
// bytes before that padding.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

/*! ArchiveEnd() :
 *  The offset at which the archive's trailer ends in the open program file
 *  `file` of `fileSize` bytes.
 *  When the file is a PE whose certificate table is not empty and ends
 *  exactly at the end of the file, the trailer ends before that table and
 *  up to 7 zero bytes of padding: at the last place there where the magic
 *  ends (or at the table itself when the magic is nowhere there, so that
 *  the caller reports a missing archive). Any other file, and any PE field
 *  that does not fit the file, gives `fileSize`: an unsigned file is read
 *  exactly as before. Reads move the file position.
 *  @return : an offset no larger than `fileSize`. */
uint32_t ArchiveEnd(platform::Handle file, uint32_t fileSize);
