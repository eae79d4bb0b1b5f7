/* Telling unchanged files apart cheaply, before any diffing. */
#ifndef OLKENG_SAME_CONTENT_H
#define OLKENG_SAME_CONTENT_H

#include <string>

#include "olkeng/file_layer.h"

namespace olk {

enum class Sameness { kSame, kDifferent, kUnreadable };

/* CompareFiles():
 * Reads `path` in both trees side by side in chunks of 1 MiB and stops at
 * the first chunk that differs. Most files of two consecutive builds are
 * the same, and a game's data packs run to gigabytes: comparing them this
 * way reads each byte once and holds 2 MiB, where loading and hashing both
 * versions whole would hold both in memory. The caller has already checked
 * that the sizes are equal; a file that turns out to have another size is
 * kDifferent.
 * @return kUnreadable when either file cannot be opened or read (the
 *         caller's own read then reports why). */
Sameness CompareFiles(FileSystem& old_tree, FileSystem& new_tree, const std::string& path);

}  // namespace olk

#endif
