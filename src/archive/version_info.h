// The patch's version-info member: which client build it applies to and
// which build it produces.
#pragma once

#include <stdint.h>

// Name of the member in the archive (looked up ignoring ASCII case).
constexpr const char kVersionInfoMember[] = "versionInfoFile.txt";

/*! ReadVersionInfo() :
 *  Reads the member versionInfoFile.txt of g_embeddedArchive: two decimal
 *  build numbers, each on a line ended by CR LF, the from build first.
 *  Only the first LF matters; the text before it is the from build, the text
 *  after it the to build (see ParseDecimal()). Logs nothing: the caller
 *  words the failure for the user.
 *  @return : true with both outputs written; false, writing neither, when
 *            the member is missing or has no LF before its first NUL. */
bool ReadVersionInfo(int32_t& fromBuild, int32_t& toBuild);
