// The normalisation the driver applies to the reference folder (from /path
// or the registry) before it compares the chosen folder with it.
#pragma once

// Turns every '/' into '\' and drops one trailing '\' (so "C:\" becomes "C:").
void NormalizeFolderPath(char* folder);
