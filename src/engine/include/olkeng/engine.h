/*
 * The OLK patch engine: builds patch data from two folder trees and applies
 * it to an install folder.
 *
 * The engine never throws across these functions; every failure is a
 * Result. Applying follows a fixed order that keeps the install usable at
 * every instant: check the patch data, check the install (pre-flight),
 * stage every new file inside a staging folder in the install folder,
 * commit with a journal on disk (rolled back on any failure), clean up.
 * A run that was interrupted (process killed, power lost) is rolled back or
 * completed by the next run before it does anything else.
 */
#ifndef OLKENG_ENGINE_H
#define OLKENG_ENGINE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "olkeng/file_layer.h"
#include "olkeng/result.h"

#if defined(_WIN32) && !defined(_WIN64)
#define OLK_STDCALL __stdcall
#else
#define OLK_STDCALL
#endif

namespace olk {

/* Notification ids passed to the progress callback. */
enum NotifyId : uint32_t {
  kNotifyInfo = 1,          /* param: text, a line for the log */
  kNotifyWarning = 2,       /* param: text, a line for the log */
  kNotifyError = 3,         /* param: text, a line for the log */
  kNotifyDetail = 4,        /* param: text, a line for the log */
  kNotifyItemProgress = 5,  /* param: const uint32_t*, low 16 bits; kProgressWhole = done */
  kNotifyItemCount = 6,     /* param: const uint32_t*, number of items that follow */
  kNotifyItemStart = 7,     /* param: text, the item's name */
  kNotifyItemEnd = 8,       /* param: none */
  kNotifySearching = 22,    /* param: none; sent once at the start */
};

/* Progress value of a finished item (id 5). */
constexpr uint32_t kProgressWhole = 0x8000;

/* The progress callback. In the Windows DLL it uses the stdcall
 * convention. Texts are NUL-terminated and valid only during the call. The
 * engine ignores the returned pointer. */
typedef const char*(OLK_STDCALL* ProgressCallback)(uint32_t id, const void* param);

/* 128-bit content hash (XXH3-128, seed 0, canonical big-endian bytes). */
struct Hash128 {
  uint8_t bytes[16] = {};
  bool operator==(const Hash128& o) const;
  bool operator!=(const Hash128& o) const { return !(*this == o); }
  std::string Hex() const;
};

struct ApplyOptions {
  ProgressCallback callback = nullptr; /* may be NULL */
  /* Make staged files and the journal durable before the commit. Leave on
   * for real installs; tests may turn it off for speed. */
  bool durable = true;
  /* Called once the patch data has been checked, with its manifest: lets
   * a tool size its progress display without reading the patch twice. */
  std::function<void(const struct PatchInfo&)> on_manifest;
};

/* ApplyPatch():
 * Applies the patch data in `patch` to the folder tree of `install`.
 * Before anything else, rolls back or completes the leftovers of an
 * interrupted run in `install`. On any result but kOk the install folder
 * holds exactly what it held before the call (apart from the leftovers of
 * an earlier interrupted run, which are resolved first).
 * @return kOk only when every new file is in place and verified. */
Result ApplyPatch(FileSystem& install, File& patch, const ApplyOptions& options);

/* RecoverInstall():
 * Rolls back or completes an interrupted run in `install` and removes the
 * engine's staging folder. Does nothing when there is none. ApplyPatch()
 * calls it first; it is exposed for tools and tests. */
Result RecoverInstall(FileSystem& install, ProgressCallback callback);

/* One thing that would stop an apply, as a check finds it. */
struct CheckFinding {
  Result result = Result::kOk; /* what the apply would return for it */
  std::string path;            /* the file or folder; empty for free space */
  std::string text;            /* the engine's log line */
};

struct CheckReport {
  Result result = Result::kOk; /* the result an apply would give: that of the first finding */
  std::vector<CheckFinding> findings;
  uint64_t files_to_write = 0, files_to_remove = 0;
};

/* CheckPatch():
 * The pre-flight of ApplyPatch() alone, read-only: checks the patch data
 * and every file it would change, remove or replace, and notes every
 * problem instead of stopping at the first (missing, changed, in the way,
 * unreadable or locked, a link in the way, not enough space). Resolves no
 * leftovers of an interrupted run (it only mentions them).
 * @return report->result. */
Result CheckPatch(FileSystem& install, File& patch, ProgressCallback callback, CheckReport* report);

/* SplitCommandLine():
 * Splits the command line of the DLL entry point, two paths each in double
 * quotes separated by blanks ("C:\OLK" "C:\Temp\x.pat"), into its two
 * paths. Unquoted paths without blanks are accepted too.
 * @return false if the text does not hold exactly two non-empty paths. */
bool SplitCommandLine(const char* command_line, std::string* install_folder, std::string* patch_path);

/* -------------------------------------------------------------------- */
/* Reading patch data                                                    */

enum class EntryKind : uint8_t {
  kAddFolder = 1,
  kRemoveFolder = 2,
  kAddFile = 3,
  kRemoveFile = 4,
  kChangeFile = 5,
};

enum class Encoding : uint8_t {
  kNone = 0,   /* no payload (folders, removals) */
  kStored = 1, /* the new file's bytes as they are (in the index or apart) */
  kZstd = 2,   /* one zstd frame of the new file */
  kLzma2 = 3,  /* one raw LZMA2 stream of the new file */
  kDelta = 4,  /* a delta against the old file */
  kCopy = 5,   /* an exact copy of the entry's source (an added file that was renamed, moved or copied) */
  kExecutableDelta = 6, /* a delta whose copies predict the x86 references of an executable */
  kWindowedLz = 7,      /* LZMA2 segments primed with windows of the old file (format 4) */
};

/* IsDelta(): a payload of the three delta streams, built against an old file. */
inline bool IsDelta(Encoding e) { return e == Encoding::kDelta || e == Encoding::kExecutableDelta; }

/* ReadsOldFile(): a payload that is made from an old file (the entry's
 * path, or its source). */
inline bool ReadsOldFile(Encoding e) { return IsDelta(e) || e == Encoding::kCopy || e == Encoding::kWindowedLz; }

/* Where one stream of a payload lies: in the solid area of the patch
 * data's index (codec 0), or apart in the payload area (codec 1 stored,
 * 2 zstd, 3 LZMA2). */
struct StreamRef {
  uint8_t codec = 0;
  uint64_t decoded_size = 0;
  uint64_t encoded_size = 0;
  uint64_t offset = 0; /* in the solid area (codec 0), else from the start of the patch data */
};

struct PatchEntry {
  EntryKind kind = EntryKind::kAddFile;
  Encoding encoding = Encoding::kNone;
  std::string path; /* UTF-8, '\' separated, relative to the install folder */
  uint64_t old_size = 0;
  Hash128 old_hash;
  uint64_t new_size = 0;
  Hash128 new_hash;
  /* For an added file only (format 3): the old file it is built from,
   * empty for none. old_size and old_hash are then the source's. */
  std::string source;
  /* The payload: one stream for a whole file; control, difference and
   * literal streams for a delta. */
  StreamRef streams[3];
  uint64_t payload_offset = 0; /* first byte of its streams kept apart, from the start of the patch data */
  uint64_t payload_size = 0;   /* bytes of its streams kept apart */
};

struct PatchInfo {
  uint16_t version = 0;
  uint64_t total_size = 0;
  std::vector<PatchEntry> entries;
  std::vector<uint8_t> solid; /* the decoded solid area of the index */
};

/* ReadPatch():
 * Checks the whole patch data (size, checksum, version, structure, every
 * path) and reads its manifest. Touches nothing else.
 * @return kOk, kCannotOpenPatch when it cannot be read, kBadPatch when it
 *         is not valid patch data, kNoMemory. */
Result ReadPatch(File& patch, PatchInfo* info);

/* IsSafeRelativePath():
 * True when `path` may be written inside an install folder: non-empty
 * UTF-8 components separated by single '\', none of them "." or "..", no
 * drive, root or stream (':'), no character that Windows forbids in names,
 * no name that Windows reserves for devices (CON, NUL, COM1, ...; also with
 * an extension), no component ending in a dot or blank, and not inside the
 * engine's own staging folder. */
bool IsSafeRelativePath(const std::string& path);

/* -------------------------------------------------------------------- */
/* Building patch data                                                   */

struct BuildProgress {
  uint64_t files_done = 0;
  uint64_t files_total = 0;
  uint64_t bytes_done = 0;  /* of the new files being encoded */
  uint64_t bytes_total = 0;
};

/* What the build does with a symbolic link or junction in either tree
 * (the file layer never follows one; a caller that wants links followed
 * hands the build trees whose layer follows them). */
enum class LinkPolicy : uint8_t {
  kRefuse, /* the build fails, naming the link */
  kSkip,   /* the link is left out, as if it were not there */
};

struct BuildOptions {
  unsigned threads = 0; /* 0: one per core */
  /* Called from the building threads, one call at a time. */
  std::function<void(const BuildProgress&)> progress;
  /* Paths left out of both trees, as if they were not there (see
   * MatchesExcludePattern()). A folder left out takes all below it. */
  std::vector<std::string> exclude;
  LinkPolicy links = LinkPolicy::kRefuse;
  /* Appended to the error that names a refused link, so that a tool can
   * say how its user chooses otherwise. */
  std::string link_advice;
  /* Old files of at least this many bytes are matched block by block in
   * bounded memory instead of with a suffix array (0: kBlockMatchFrom). */
  uint64_t block_match_from = 0;
  /* The patch data format version to write: 0 for the latest; 2 for
   * appliers that read no later one (no sources for added files, no
   * executable deltas). */
  uint16_t format_version = 0;
};

/* The default of BuildOptions::block_match_from: the suffix-array delta
 * holds about seven times the old file in memory, so above this it would
 * pass 2 GiB. */
constexpr uint64_t kBlockMatchFrom = 320ull << 20;

/* MatchesExcludePattern():
 * True when `path` (relative to a tree's root, '\' between components;
 * `folder` tells whether it names a folder) matches `pattern`. Letters
 * match either case, as in Windows names. In the pattern '\' (or '/')
 * separates components; '*' matches any run of characters within one
 * component, '?' one character, and '**' any run of characters across
 * components ('**\' also none at all). A pattern without a separator
 * matches the last component of a path at any depth ("*.pdb"); one with a
 * separator matches from the root ("logs\*.txt", a leading '\' allowed).
 * A pattern ending in a separator matches folders only. */
bool MatchesExcludePattern(const std::string& pattern, const std::string& path, bool folder);

struct BuildStats {
  uint64_t files_added = 0, files_removed = 0, files_changed = 0, files_unchanged = 0;
  uint64_t folders_added = 0, folders_removed = 0;
  uint64_t old_bytes = 0;  /* total size of the old tree's files */
  uint64_t new_bytes = 0;  /* total size of the new tree's files */
  uint64_t patch_bytes = 0;
  uint64_t files_block_matched = 0; /* changed files matched block by block (see block_match_from) */
  uint64_t files_near_identical = 0; /* files diffed by the linear pass for near-identical files */
};

/* BuildPatch():
 * Compares the trees of `old_tree` and `new_tree` and writes patch data
 * that turns the first into the second to `out`. The same trees always
 * give the same bytes, whatever the number of threads. On failure
 * `*error` (if not NULL) gets a sentence that names the cause.
 * @return kOk; kCannotOpenPatch when a tree cannot be read; kCannotCreate
 *         when the output cannot be written or a name cannot be stored
 *         safely; kNoMemory. */
Result BuildPatch(FileSystem& old_tree, FileSystem& new_tree, File& out, const BuildOptions& options,
                  BuildStats* stats, std::string* error);

}  // namespace olk

#endif
