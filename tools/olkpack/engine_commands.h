// olkpack's patch-engine subcommands. Each takes the arguments after its
// own name and returns the process exit status; the synopsis of each is in
// the command table (main.cpp) and `olkpack help CMD` shows its options.
#pragma once

/*! RunDiff() :
 *  olkpack diff OLD_DIR NEW_DIR -o OUT.pat [tree options] [--threads N]
 *               [--quiet] [--json]
 *  Builds patch data that turns OLD_DIR into NEW_DIR; progress and a summary
 *  on stderr. @return : 0, or 1 after one line on stderr. */
int RunDiff(int argc, char** argv);

/*! RunApply() :
 *  olkpack apply DIR PATCH.pat [--quiet] [--json] [--no-sync]
 *  Applies PATCH.pat to DIR with the engine, its progress on stderr.
 *  --no-sync skips flushing the new files to disk before the commit (for
 *  scratch folders and measurements; the installer always flushes).
 *  @return : the engine's result code (0 on success), or 1 on a usage
 *  error. */
int RunApply(int argc, char** argv);

/*! RunCheck() :
 *  olkpack check DIR PATCH.pat [--json] [--verbose]
 *  The engine's pre-flight alone, read-only: lists on stdout every file of
 *  DIR that would stop the apply (missing, changed, in the way, unreadable
 *  or locked, a link in the way), one line each with the result it gives.
 *  @return : the result code the apply would give (0: it would apply), or
 *  1 on a usage error. */
int RunCheck(int argc, char** argv);

/*! RunInfo() :
 *  olkpack info PATCH.pat [--json]
 *  Checks PATCH.pat and lists its entries on stdout.
 *  @return : 0, or the engine's result code for patch data it rejects. */
int RunInfo(int argc, char** argv);

/*! RunInstaller() :
 *  olkpack installer --from BUILD --to BUILD OLD_DIR NEW_DIR -o OUT.exe
 *                    [--stub STUB.exe] [--engine patcheng.dll] [--threads N]
 *                    [tree options] [--sign CERT.pfx ...] [--quiet]
 *  Patch data from the two trees, the version-info member and the engine,
 *  packed onto the stub, signed on request and listed. @return : 0, or 1
 *  after one line on stderr. */
int RunInstaller(int argc, char** argv);
