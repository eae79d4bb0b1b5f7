// POSIX side of atomic_output.h.
#include "atomic_output.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

AtomicOutput::~AtomicOutput() {
  if (file_ >= 0) close(static_cast<int>(file_));
  if (!committed_ && !temp_.empty()) unlink(temp_.c_str());
}

bool AtomicOutput::Fail(const char* what) {
  error_ = std::string(what) + ": " + strerror(errno);
  return false;
}

bool AtomicOutput::Create() {
  // Beside the target, so that the final rename stays on one file system.
  std::string pattern = target_ + ".olkpack-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  file_ = mkstemp(name.data());
  if (file_ < 0) return Fail("cannot create the output file");
  temp_ = name.data();
  // mkstemp makes the file private; give it the target's mode, or the
  // mode a new file would get.
  struct stat st;
  mode_t mode;
  if (stat(target_.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(static_cast<int>(file_), mode) != 0) return Fail("cannot set the output file's mode");
  return true;
}

bool AtomicOutput::Write(const void* bytes, size_t count) {
  const char* p = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t n = write(static_cast<int>(file_), p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return Fail("cannot write the output file");
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool AtomicOutput::Finish() {
  if (fsync(static_cast<int>(file_)) != 0) return Fail("cannot flush the output file");
  int fd = static_cast<int>(file_);
  file_ = -1;
  if (close(fd) != 0) return Fail("cannot close the output file");
  return true;
}

bool AtomicOutput::Commit() {
  if (rename(temp_.c_str(), target_.c_str()) != 0) return Fail("cannot replace the output file");
  committed_ = true;
  return true;
}
