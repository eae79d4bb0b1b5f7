// Applying the patch carried in the program's own archive.
#pragma once

// Lets the patch engine update the client in `installFolder`. True when the
// engine reported success; on false the cause has been logged (and, for most
// causes, shown).
bool ApplyEmbeddedPatch(const char* installFolder);
