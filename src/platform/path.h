// The path helpers every subsystem of the installer uses: the capacity of a
// path text and the join of a folder and a name.
#pragma once

#include <stddef.h>

// Folder and path texts: 259 characters and the terminator.
constexpr size_t kPathCapacity = 260;

// Writes `folder`, one backslash and `name` into `dest` (`capacity` bytes,
// terminator included) and returns `dest`. Only the folder's last character
// is looked at: a trailing '/' becomes '\', and a '\' is added unless one is
// there already. `dest` may be `folder` itself.
// A joined path that would not fit is never cut: `dest` is left as the empty
// text and the result is null.
char* JoinPath(char* dest, size_t capacity, const char* folder, const char* name);
