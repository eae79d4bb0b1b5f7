// Making sure a folder holds an OLK client of the build a patch starts from.
#pragma once

#include <stdint.h>

// Tests the folder in `folder` (260 bytes) and, while it is not a client
// folder of `expectedBuild`, tells the user why and lets the user choose
// another one. True when `folder` now names an accepted client folder;
// false when the user gave up.
bool ValidateInstallFolder(char* folder, int32_t expectedBuild);
