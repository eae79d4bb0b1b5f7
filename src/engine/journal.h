/* The commit journal: the list of moves a commit makes, written to disk
 * before the first of them, and the names the staging folder may hold.
 * How the journal is used (the commit protocol and recovery) is in
 * commit.h. */
#ifndef OLKENG_JOURNAL_H
#define OLKENG_JOURNAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "olkeng/file_layer.h"
#include "olkeng/result.h"

namespace olk {

struct Step {
  enum Type : uint8_t { kMove = 1, kMakeDir = 2, kRemoveDir = 3 };
  Type type = kMove;
  std::string from; /* kMove only */
  std::string to;   /* the path moved to, made or removed */
};

/* Where the staging folder keeps its files. */
std::string StagingPath(const char* name);
std::string StagedFilePath(size_t index);
std::string BackupFilePath(size_t index);
/* The journal of a commit in progress (undo it), the same journal once
 * the commit is done (finish it), and the temporary name it is written
 * under. */
extern const char* const kJournalName;
extern const char* const kCommittedName;
extern const char* const kJournalTempName;

/* What an entry of the staging folder is, by its name alone. */
enum class StagingName : uint8_t {
  kUnknown = 0, /* nothing the engine makes: never deleted */
  kStaged,      /* nNNNNNNNN: a new file waiting to be put in place */
  kBackup,      /* oNNNNNNNN: an old file moved aside by a commit */
  kJournal,
  kCommitted,
  kJournalTemp,
  kWaste,       /* zNNNNNNNN: a leftover that could not be deleted yet */
};
StagingName ClassifyStagingName(const std::string& name);

/* WasteFilePath():
 * A name for a leftover that must wait for a later run to be deleted
 * (a backup of a program that is still running, say). */
std::string WasteFilePath(size_t index);

/* WriteJournal():
 * Writes `steps` to the journal: a temporary file, flushed when
 * `durable`, then renamed to kJournalName, so that the journal is either
 * absent or whole. The caller makes the rename durable. */
IoStatus WriteJournal(FileSystem& fs, const std::vector<Step>& steps, bool durable);

/* ReadJournal():
 * Reads the journal file `name` (kJournalName or kCommittedName) and
 * checks it whole: checksum, structure, and every step of a form that the
 * engine writes (see IsWellFormedJournal()).
 * @return kOk with the steps; kNotFound when the file is absent; kIoError
 *         when it is there but damaged, too large or not of the engine's
 *         making; another status when it cannot be read. */
IoStatus ReadJournal(FileSystem& fs, const char* name, std::vector<Step>* steps);

/* IsWellFormedJournal():
 * True when every step is one the engine writes: a safe install path
 * moved to a backup name, a staged name moved to a safe install path,
 * a safe folder path made or removed; no staging name used twice. A
 * journal that fails this was damaged or planted, and is never acted
 * on. */
bool IsWellFormedJournal(const std::vector<Step>& steps);

}  // namespace olk

#endif
