/* The patch data container: header, manifest, payloads, trailer. The
 * byte layout is described in docs/patch-format.md. */
#ifndef OLKENG_PATCH_FORMAT_H
#define OLKENG_PATCH_FORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include "hash.h"
#include "olkeng/engine.h"

namespace olk {

constexpr char kPatchMagic[8] = {'O', 'L', 'K', 'P', 'A', 'T', 'C', 'H'};
constexpr uint16_t kPatchVersion = 1;
constexpr size_t kHeaderSize = 32;
constexpr size_t kTrailerSize = 16;
constexpr size_t kMaxPathBytes = 4096;
constexpr uint64_t kMaxManifestSize = 32u << 20;

/* The engine's own folder inside the install folder, for staged files,
 * backups and the journal. No patch may name it. */
constexpr const char* kStagingFolder = ".olkpatch";

/* FoldCase(): the key under which Windows treats two names as the same
 * (ASCII letters upper-cased). */
std::string FoldCase(const std::string& path);

/* ManifestSize(): bytes the manifest of `entries` takes. */
uint64_t ManifestSize(const std::vector<PatchEntry>& entries);

/* AppendManifest(): serializes `entries` (payload fields included). */
void AppendManifest(const std::vector<PatchEntry>& entries, std::vector<uint8_t>* out);

/* AppendHeader(): the 32-byte header. */
void AppendHeader(uint64_t total_size, uint32_t manifest_size, uint32_t entry_count, std::vector<uint8_t>* out);

/* CheckManifestStructure():
 * True when the entries can be applied together: at most one entry per
 * path except the pairs that turn a file into a folder or back (or change
 * a name's case), and nothing created inside a path that stops being a
 * folder. */
bool CheckManifestStructure(const std::vector<PatchEntry>& entries);

}  // namespace olk

#endif
