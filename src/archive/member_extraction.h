// Routines that turn archive members into files, and that report on files,
// through the one archive and the one progress window.
#pragma once

/*! ExtractMember() :
 *  Writes the member `name` (ASCII case ignored) to the file `path`, created
 *  or emptied, in chunks of 64 KiB; the item bar follows each chunk (and the
 *  window is serviced there), then goes back to 0. Failures are logged:
 *  "can't extract %s from this patchfile", "Error calling CreateFile(%s)
 *  error=%d", "Error writing %s WriteFile failed with error %d".
 *  @return : true when the whole member was written. */
bool ExtractMember(const char* name, const char* path);

/*! TouchFile() :
 *  Sets the creation, access and write times of the existing file `path` to
 *  the current time; a failure is only logged ("unable to open %s, error=%d"). */
void TouchFile(const char* path);

/*! ShowApplyError() :
 *  Logs `text` and shows it in an error box captioned "Error applying patch". */
void ShowApplyError(const char* text);
