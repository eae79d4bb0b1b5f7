// A build tree read through its symbolic links (olkpack --links follow).
//
// The engine's file layer never follows a link, which is right for an
// install folder but not for a build tree that a studio assembles from
// links. This read-only layer follows them: a link shows as what it points
// to. A link that points nowhere, or to a folder that holds it (which
// would make the tree endless), still shows as a link, so that the build
// refuses it by name.
#pragma once

#include <memory>
#include <string>

#include "olkeng/file_layer.h"

/*! NewFollowingTree() :
 *  The read-only tree rooted at the folder `root`; writes fail with
 *  kAccessDenied. */
std::unique_ptr<olk::FileSystem> NewFollowingTree(const std::string& root);
