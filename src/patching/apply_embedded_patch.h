// Applying the patch carried in the program's own archive.
#pragma once

/*! ApplyEmbeddedPatch() :
 *  Extracts the patch data member (the first whose name contains "olk" or
 *  "OLK") and the engine into the temporary folder, loads the engine, lets it
 *  patch `installFolder` while the progress window follows, removes both
 *  files again, and on success refreshes the timestamps of
 *  "script\quandrel.code". Every step is logged.
 *  @return : true when the engine reported success; on false the cause has
 *            been logged and, for all causes but a missing export, shown. */
bool ApplyEmbeddedPatch(const char* installFolder);

/*! ForceDeleteFile() :
 *  Deletes `path`, also when it is read-only.
 *  @return : true when no file is left there (a missing file counts). */
bool ForceDeleteFile(const char* path);
