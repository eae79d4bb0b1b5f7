/* The commit journal: the list of moves a commit makes, written to disk
 * before the first of them, so that an interrupted commit can be undone. */
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
extern const char* const kJournalName;

/* WriteJournal():
 * Writes `steps` to the journal (via a temporary file that is renamed into
 * place, flushed first when `durable`), so that the journal is either
 * absent or whole. */
IoStatus WriteJournal(FileSystem& fs, const std::vector<Step>& steps, bool durable);

/* ReadJournal():
 * Reads the journal. @return kOk with the steps; kNotFound when there is no
 * whole journal (absent or torn: then the commit had not begun). */
IoStatus ReadJournal(FileSystem& fs, std::vector<Step>* steps);

/* UndoSteps():
 * Undoes the effect of steps[0, count) in reverse order, deciding for each
 * step from the state on disk whether it was carried out: a move whose
 * source is gone and whose target exists is moved back; a folder that was
 * made is removed (when empty); a folder that was removed is made again.
 * Steps that were not carried out leave no trace and are passed over.
 * @return kOk when everything could be undone, else the first failure
 *         (the remaining steps are still tried). */
IoStatus UndoSteps(FileSystem& fs, const std::vector<Step>& steps, size_t count);

}  // namespace olk

#endif
