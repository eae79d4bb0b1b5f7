// Where the main OLK client is installed, from the registry.
#pragma once

// Writes the main install folder into `folder` (260 bytes). True when one of
// the registry keys it consults exists.
bool InstallLocator(char* folder);
