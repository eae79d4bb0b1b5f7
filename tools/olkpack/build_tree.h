// A build tree as olkpack reads it: read-only, with its symbolic links
// either shown as links (for the build to refuse or skip them by name) or
// followed (olkpack --links follow). One side for POSIX
// (build_tree_posix.cpp), one for Win32 (build_tree_win32.cpp).
//
// Followed, a link shows as what it points to, except a link that points
// nowhere or to a folder that holds it (which would make the tree endless):
// those still show as links, so that the build refuses them by name.
#pragma once

#include <memory>
#include <string>

#include "olkeng/file_layer.h"

/*! NewBuildTree() :
 *  The tree rooted at the folder `root` (which may itself be a link);
 *  writes fail with kAccessDenied. */
std::unique_ptr<olk::FileSystem> NewBuildTree(const std::string& root, bool followLinks);
