// What olkpack asks of the operating system beyond the engine's file layer:
// its arguments, its own path, scratch folders, replacing a file, running
// another program, the terminal. Each routine has a POSIX side
// (host_system_posix.cpp) and a Win32 side (host_system_win32.cpp); the
// rest of the tool is the same code on both.
//
// Paths are UTF-8 everywhere in the tool. On Win32 they reach the system
// through the wide-character calls in their long form (the engine's
// FullNativePath()), so that names beyond the ANSI code page and paths
// beyond MAX_PATH work; both '\' and '/' separate folders there.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "olkeng/file_layer.h"

namespace host {

/*! ProgramArguments() :
 *  The command line as UTF-8 texts, the program's name first: `argv` on
 *  POSIX; on Win32 the wide command line (argv there is in the ANSI code
 *  page, which cannot carry every name). */
std::vector<std::string> ProgramArguments(int argc, char** argv);

/*! PrepareConsole() :
 *  On Win32, makes a console show the UTF-8 text olkpack prints, and the
 *  terminal's control sequences the progress line uses; nothing on POSIX. */
void PrepareConsole();

/*! StderrIsTerminal() :
 *  Whether standard error is a terminal that redraws a line in place. */
bool StderrIsTerminal();

/*! NativePath() :
 *  `path` in the engine's native form (empty when it is not UTF-8, which
 *  the system then refuses to open). */
olk::NativeString NativePath(const std::string& path);

/*! LastErrorText() :
 *  The system's words for the last failed call (errno / GetLastError()). */
std::string LastErrorText();

#if defined(_WIN32)
/*! FreshSuffix() :
 *  Six hexadecimal digits, different at each call, for a new file's name. */
std::string FreshSuffix();

/*! LongPath() :
 *  `path` as the wide calls take it: absolute, long-path prefixed; empty
 *  when it cannot be made. */
std::wstring LongPath(const std::string& path);
#endif

/*! OpenForReading() :
 *  Opens the file `path` for reading through the engine's file layer.
 *  @return : kOk, or the failure (kIsDirectory for a folder) with `cause`
 *  in the system's words. */
olk::IoStatus OpenForReading(const std::string& path, std::unique_ptr<olk::File>* file, std::string* cause);

/*! ReadWholeFile() :
 *  The bytes of the file `path`. @return : true, or false with `cause`. */
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* cause);

/*! WriteNewFile() :
 *  Creates (or empties) the file `path` and writes `bytes` to it.
 *  @return : true, or false with `cause`. */
bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* cause);

/*! IsPlainFile() :
 *  Whether `path` names a plain file (a link to one included), not a
 *  folder, device or pipe. */
bool IsPlainFile(const std::string& path);

/*! IsFolder() :
 *  Whether `path` names a folder (a link to one included). */
bool IsFolder(const std::string& path);

/*! JoinPath() :
 *  `folder`, the platform's separator, `name`. */
std::string JoinPath(const std::string& folder, const std::string& name);

/*! OwnProgramPath() :
 *  The full path of the running program; empty when unknown. */
std::string OwnProgramPath();

/*! FolderOf() :
 *  The folder that holds `path` (made absolute first). */
std::string FolderOf(const std::string& path);

/*! MakeScratchFolder() :
 *  Creates a new private folder named `prefix` and a unique suffix in
 *  `parent`. @return : true with its path, or false with `cause`. */
bool MakeScratchFolder(const std::string& parent, const std::string& prefix, std::string* folder,
                       std::string* cause);

/*! RemoveScratchFolder() :
 *  Removes `folder` with everything in it; quietly does what it can. */
void RemoveScratchFolder(const std::string& folder);

/*! RenameOver() :
 *  Renames `from` over `to` (same volume), with the permissions of the file
 *  `modeFrom` (POSIX; on Win32 the file keeps its own).
 *  @return : true, or false with `cause`. */
bool RenameOver(const std::string& from, const std::string& to, const std::string& modeFrom,
                 std::string* cause);

/*! RunProgram() :
 *  Runs `program` (found on the search path) with `args`, its standard
 *  input empty, its standard output discarded and its standard error
 *  collected into `errors`, and waits for it.
 *  @return : true when it ran and exited with status 0; false otherwise,
 *  with `cause` set when it could not be run at all ("not found" when it is
 *  not installed) and empty when it ran and failed. */
bool RunProgram(const std::string& program, const std::vector<std::string>& args, std::string* errors,
                std::string* cause);

}  // namespace host
