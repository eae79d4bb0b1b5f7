// The temporary folder that patch application extracts the patch data and
// the engine into.
#pragma once

#include <stddef.h>

/*! FindTempFolder() :
 *  Writes the temporary folder, ending with one separator, into `folder`
 *  (`capacity` bytes). It is the first of these that is an existing folder:
 *  the one the TMP environment variable names; TMP's value with every double
 *  quote removed, if it has any (`set TMP="C:\Temp"` keeps them in the
 *  value); the root of the current drive; else the current folder. A folder
 *  given relative to the current one is written as a full path.
 *  @return : false when the folder's name leaves no room for a temporary
 *            name (prefix and 12 characters) within a path's 260 bytes, or
 *            does not fit `capacity`. */
bool FindTempFolder(char* folder, size_t capacity);
