/* The patch data container: header, manifest, payloads, trailer. The
 * byte layout is described in docs/patch-format.md. */
#ifndef OLKENG_PATCH_FORMAT_H
#define OLKENG_PATCH_FORMAT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hash.h"
#include "olkeng/engine.h"

namespace olk {

constexpr char kPatchMagic[8] = {'O', 'L', 'K', 'P', 'A', 'T', 'C', 'H'};
/* The version a writer writes, and the oldest one a reader still applies
 * (every version in between is read too). */
constexpr uint16_t kPatchVersion = 4;
constexpr uint16_t kOldestPatchVersion = 2;
constexpr size_t kHeaderSize = 32;
constexpr size_t kTrailerSize = 16;
constexpr size_t kMaxPathBytes = 4096;
/* The decoded index (manifest and solid area) a reader accepts, and the
 * part of it a writer gives to the solid area. */
constexpr uint64_t kMaxIndexSize = 24u << 20;
constexpr uint64_t kMaxSolidSize = 8u << 20;

/* The engine's own folder inside the install folder, for staged files,
 * backups and the journal. No patch may name it. */
constexpr const char* kStagingFolder = ".olkpatch";

/* FoldCase(): the key under which Windows treats two names as the same:
 * every character of the Basic Multilingual Plane replaced by its upper
 * case (UpcaseUnit()), the rest as it is. */
std::string FoldCase(const std::string& path);

/* HasShortNameForm():
 * True when a component of `path` has the form of a Windows short (8.3)
 * name that the system makes up for a long name: at most 8 characters,
 * the last of them '~' and digits, and an extension of at most 3
 * ("DATA~1.PAK", "PROGRA~1"). Such a name may be another file's alias on
 * the player's disk, so patch data never names one. */
bool HasShortNameForm(const std::string& path);

/* AppendManifest(): serializes `entries`, their stream references
 * included (the offsets are not stored: streams follow each other in
 * entry order), as format `version` has them (its entries use nothing
 * that version lacks). */
void AppendManifest(const std::vector<PatchEntry>& entries, std::vector<uint8_t>* out,
                    uint16_t version = kPatchVersion);

/* AppendPatchHead():
 * The header and the index region: `codec`, the decoded index size and
 * the encoded index. `separate_size` bytes of payload streams and the
 * trailer are to follow. */
void AppendPatchHead(uint32_t entry_count, uint8_t codec, uint64_t index_size, const std::vector<uint8_t>& encoded_index,
                     uint64_t separate_size, std::vector<uint8_t>* out, uint16_t version = kPatchVersion);

/* The solid area of an index whose manifest ReadPatchManifest() has
 * read, still to decode. The destructor waits for a decode started. */
class SolidAreaDecode {
 public:
  SolidAreaDecode();
  ~SolidAreaDecode();
  SolidAreaDecode(const SolidAreaDecode&) = delete;
  SolidAreaDecode& operator=(const SolidAreaDecode&) = delete;

  /* Start():
   * Decodes on a thread of its own from now on, so that the caller can
   * check the install folder meanwhile. Without a thread (none can be
   * made, or Start() not called), Finish() decodes. */
  void Start();

  /* Finish():
   * Waits for the decode and puts the solid area into info->solid.
   * @return kOk (also when there was nothing left to decode), kBadPatch
   *         when it does not decode, kCannotOpenPatch, kNoMemory. */
  Result Finish(PatchInfo* info);

  struct State;

 private:
  friend Result ReadPatchManifest(File& patch, PatchInfo* info, SolidAreaDecode* rest);
  std::unique_ptr<State> state_;
};

/* ReadPatchManifest():
 * ReadPatch() up to the manifest: the whole patch data is checked, the
 * manifest read, and its solid area left to `rest`, which must finish
 * before info->solid is used. */
Result ReadPatchManifest(File& patch, PatchInfo* info, SolidAreaDecode* rest);

/* CheckManifestStructure():
 * True when the entries can be applied together: at most one entry per
 * path except the pairs that turn a file into a folder or back (or change
 * a name's case), and nothing created inside a path that stops being a
 * folder. */
bool CheckManifestStructure(const std::vector<PatchEntry>& entries);

}  // namespace olk

#endif
