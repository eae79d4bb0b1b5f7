/*
 * The commit protocol: how staged files replace the old ones so that no
 * crash, power cut or bad timing leaves the client half patched.
 *
 * The staging folder (`.olkpatch` inside the install folder) is always in
 * one of these states on disk, and the next run resolves it first:
 *
 *   state                                 meaning              next run
 *   no staging folder                     nothing pending      nothing
 *   staged files, no journal              commit not begun     deletes them
 *   `journal` + staged files, backups     commit in progress   rolls back
 *   `committed` + backups, leftovers      commit done          finishes it
 *
 * Order of a commit (every "sync" makes the entries of a folder durable;
 * every file is flushed before it is renamed):
 *   1. The staged files are written and flushed; the staging folder and
 *      the install folder are synced. (A file moved unchanged is staged
 *      as a second name of its old self, which the commit moves away
 *      like any old file: nothing of it to write or flush.)
 *   2. The journal is written as `journal.tmp`, flushed, renamed to
 *      `journal`; the staging folder is synced. The commit has begun.
 *   3. The steps are carried out: old files moved into the staging folder
 *      as backups, folders removed and made, staged files moved into
 *      place.
 *   4. Every folder whose entries changed is synced.
 *   5. `journal` is renamed to `committed` and the staging folder synced:
 *      the commit point. A delete cannot serve here: it may be deferred
 *      (a scanner holding the file) or reach the disk after later deletes.
 *   6. Backups and leftovers are deleted and the staging folder synced;
 *      then `committed` is deleted, the staging folder removed and the
 *      install folder synced. Only then does the engine report success.
 *
 * Guarantees:
 *   - No backup is deleted before the committed state is on disk.
 *   - A roll-back never undoes a placement whose backup is missing: if it
 *     cannot restore every old file it rolls forward when every new file
 *     can be put in place, and otherwise stops, touching nothing.
 *   - A journal that cannot be read, or whose steps are not of the form
 *     the engine writes (an install path <-> a name inside the staging
 *     folder), is never acted on: recovery stops and touches nothing.
 *   - An entry of the staging folder that the engine does not make, or a
 *     link there, is never deleted or followed.
 *   - A backup that cannot be deleted (a program still running from it)
 *     is renamed aside and left for a later run; it does not block one.
 * On volumes that keep no order of metadata changes (FAT, exFAT) the
 * order above cannot be enforced; the engine says so in its log.
 */
#ifndef OLKENG_COMMIT_H
#define OLKENG_COMMIT_H

#include <cstddef>
#include <string>
#include <vector>

#include "journal.h"
#include "olkeng/engine.h"

namespace olk {

/* What a commit reports besides its result. */
struct CommitReport {
  size_t failed_step = 0;               /* with a failed commit: the step, or steps.size() for the journal */
  IoStatus failed_status = IoStatus::kOk;
  IoStatus rollback_status = IoStatus::kOk; /* kOk: every change was undone */
  std::vector<size_t> kept_folders;     /* folders to remove that were kept (not empty, in use) */
  bool leftovers = false;               /* some leftovers stay for the next run */
  bool not_durable = false;             /* a folder could not be synced */
};

/* CommitSteps():
 * Carries out `steps` (stages 2 to 6 above) on files staged and flushed
 * by the caller. Sends nothing to the host, so that the host cannot end
 * the process in the middle.
 * @return kOk when every step is done and durable (`durable` on);
 *         otherwise the status of the failed step, after every change
 *         was undone (report->rollback_status says whether that worked;
 *         if not, the journal stays and the next run finishes it). When
 *         the journal itself cannot be written, the staged files are
 *         deleted. */
IoStatus CommitSteps(FileSystem& fs, const std::vector<Step>& steps, bool durable, CommitReport* report);

/* A hook for tests that stop the process in the middle of a commit: when
 * set, it is called before each step with the step's number. Never set in
 * a shipped build. */
extern void (*g_commit_step_hook)(size_t step, size_t count);

/* RecoverStaging():
 * Resolves what an earlier run left in the staging folder (see the table
 * above) and sends log lines through `callback`.
 * @return kOk when the install folder holds one whole build and the
 *         staging folder is gone or holds only leftovers to delete later;
 *         kOldFileMismatch when the staging folder cannot be resolved
 *         safely (damaged or foreign journal, missing files), with
 *         nothing touched; kCannotCreate when it is a link; kFileInUse
 *         or kNoMemory when the disk refused. */
Result RecoverStaging(FileSystem& fs, ProgressCallback callback);

/* PrepareStagingFolder():
 * Makes the staging folder, or accepts one that holds only leftovers of
 * earlier runs. */
IoStatus PrepareStagingFolder(FileSystem& fs);

/* DiscardStaging():
 * Deletes what a run staged before its commit began, and the staging
 * folder when nothing else is in it. */
IoStatus DiscardStaging(FileSystem& fs);

}  // namespace olk

#endif
