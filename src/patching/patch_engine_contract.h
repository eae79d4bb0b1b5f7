/* The contract between the installer and its patch engine, patcheng.dll.
 *
 * The engine exports one entry, under the name "PatchApply32@12": stdcall,
 * three 32-bit arguments. The first is a command line of two double-quoted
 * paths separated by one blank: the install folder, then the patch data
 * file. The second is the progress callback, the third is always 1. The
 * result is 0 when the patch was applied; the installer tells apart the
 * codes below and reports any other by its number. Plain C, so that the
 * engine and the installer can both include it. */
#ifndef OLK_PATCH_ENGINE_CONTRACT_H
#define OLK_PATCH_ENGINE_CONTRACT_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define OLK_ENGINE_CALL __stdcall
#else
#define OLK_ENGINE_CALL
#endif

/* Called by the engine, on the caller's thread, during the call only. The
 * parameter depends on the id: a text for 1 to 4, 7 and 10 to 12; a pointer
 * to a 32-bit progress value (low 16 bits, 0x8000 = whole item) for 5; a
 * pointer to a 32-bit item count for 6; nothing for 8 and 22. The result
 * is never null. */
typedef const char*(OLK_ENGINE_CALL* PatchEngineCallbackFn)(uint32_t id, const void* param);

typedef int32_t(OLK_ENGINE_CALL* PatchApplyFn)(const char* commandLine,
                                               PatchEngineCallbackFn callback, uint32_t flag);

#define OLK_ENGINE_EXPORT_NAME "PatchApply32@12"
#define OLK_ENGINE_FLAG 1u

enum {
  kEngineOk = 0,
  kEngineOutOfMemory = 2,
  kEngineCannotOpenPatch = 7,
  kEngineInvalidPatch = 9,
  kEngineOldFileMissing = 15,
  kEngineCannotCreateFile = 18,
  kEngineDiskFull = 29,
  kEngineOldFileMismatch = 36,
  kEngineFileInUse = 38
};

#endif
