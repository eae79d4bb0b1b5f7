// olkpack's patch-engine subcommands. Each takes the arguments after its
// own name and returns the process exit status.
#pragma once

/*! RunDiff() :
 *  olkpack diff OLD_DIR NEW_DIR -o OUT.pat [--threads N] [--quiet]
 *  Builds patch data that turns OLD_DIR into NEW_DIR; progress and a summary
 *  on stderr. @return : 0, or 1 after one line on stderr. */
int RunDiff(int argc, char** argv);

/*! RunApply() :
 *  olkpack apply DIR PATCH.pat [--quiet] [--no-sync]
 *  Applies PATCH.pat to DIR with the engine, a progress bar on stderr.
 *  --no-sync skips flushing the new files to disk before the commit (for
 *  scratch folders and measurements; the installer always flushes).
 *  @return : the engine's result code (0 on success), or 1 on a usage
 *  error. */
int RunApply(int argc, char** argv);

/*! RunInfo() :
 *  olkpack info PATCH.pat
 *  Checks PATCH.pat and lists its entries on stdout.
 *  @return : 0, or the engine's result code for patch data it rejects. */
int RunInfo(int argc, char** argv);

/*! RunInstaller() :
 *  olkpack installer --from BUILD --to BUILD OLD_DIR NEW_DIR -o OUT.exe
 *                    [--stub STUB.exe] [--engine patcheng.dll] [--threads N]
 *  Patch data from the two trees, the version-info member and the engine,
 *  packed onto the stub and listed. @return : 0, or 1 after one line on
 *  stderr. */
int RunInstaller(int argc, char** argv);
