// Tests of a folder for an OLK client, and its build.
#pragma once

#include <stdint.h>

/*! IsClientFolder() :
 *  @return : true when the file "vorn.dll" (not a folder of that name) is in
 *            `folder`. A folder whose joined path would not fit is none. */
bool IsClientFolder(const char* folder);

/*! ReadClientBuild() :
 *  The number after the first "build=" in the first 1024 bytes of the
 *  folder's "zorp.ini", up to its line feed less the one character before it
 *  (the CR of a CRLF line end), at most 11 characters.
 *  @return : the build, 0 when it cannot be read. */
int32_t ReadClientBuild(const char* folder);
