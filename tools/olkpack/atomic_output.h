// An output file that appears whole or not at all: the bytes go to a
// temporary file beside the target, which replaces the target only when
// Commit() is reached. Any other end removes the temporary file, so a failed
// run never leaves a partial file where a good one was (or none was).
// One side for POSIX (atomic_output_posix.cpp), one for Win32
// (atomic_output_win32.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

class AtomicOutput {
 public:
  explicit AtomicOutput(std::string target);
  ~AtomicOutput();  // removes the temporary file unless committed

  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  /*! Create() :
   *  Creates the temporary file in the target's folder.
   *  @return : false with Error() set when it cannot. */
  bool Create();

  /*! Write() :
   *  @return : false with Error() set when not all bytes were written. */
  bool Write(const void* bytes, size_t count);
  bool WriteZeros(size_t count);

  /*! Finish() :
   *  Flushes and closes the temporary file; TempPath() may then be read
   *  back to check it before Commit(). */
  bool Finish();

  /*! Commit() :
   *  Renames the finished temporary file over the target. */
  bool Commit();

  const std::string& TempPath() const { return temp_; }
  const std::string& Error() const { return error_; }

 private:
  bool Fail(const char* what);

  std::string target_;
  std::string temp_;
  std::string error_;
  intptr_t file_ = -1;  // the descriptor (POSIX) or handle (Win32); -1: none
  bool committed_ = false;
};
