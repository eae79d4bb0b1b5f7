// A library packed as patcheng.dll that loads but cannot be bound: it exports
// the engine's entry only under its plain name, "PatchApply32", as a library
// linked without the stdcall decoration would, and not as "PatchApply32@12",
// the name the installer looks up. The installer must give up at the binding
// and never call it.
//
// Were it called after all, it would return 0 without patching anything, so
// that a test sees a success box where a failure belongs.

#include <stdint.h>

extern "C" __declspec(dllexport) int32_t PatchApply32(const char*, void*, uint32_t) { return 0; }
