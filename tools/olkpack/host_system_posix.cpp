// POSIX side of host_system.h.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "host_system.h"

extern char** environ;

namespace fs = std::filesystem;

namespace host {

// The engine's POSIX layer leaves errno as the failed call set it.
std::string SystemErrorText(olk::IoStatus status) {
  return errno != 0 ? strerror(errno) : olk::IoStatusName(status);
}

std::string LastErrorText() { return strerror(errno); }

std::vector<std::string> ProgramArguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void PrepareConsole() {}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

std::string JoinPath(const std::string& folder, const std::string& name) { return folder + "/" + name; }

std::string OwnProgramPath() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

std::string FolderOf(const std::string& path) {
  std::error_code ec;
  fs::path full = fs::absolute(path, ec);
  return (ec ? fs::path(path) : full).parent_path().string();
}

bool MakeScratchFolder(const std::string& parent, const std::string& prefix, std::string* folder,
                       std::string* cause) {
  std::string pattern = JoinPath(parent, prefix + "XXXXXX");
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    *cause = strerror(errno);
    return false;
  }
  *folder = name.data();
  return true;
}

void RemoveScratchFolder(const std::string& folder) {
  std::error_code ec;
  fs::remove_all(folder, ec);
}

bool RenameOver(const std::string& from, const std::string& to, const std::string& modeFrom,
                 std::string* cause) {
  struct stat st;
  if (stat(modeFrom.c_str(), &st) == 0) {
    if (chmod(from.c_str(), st.st_mode & 07777) != 0) {
      *cause = strerror(errno);
      return false;
    }
  }
  if (rename(from.c_str(), to.c_str()) != 0) {
    *cause = strerror(errno);
    return false;
  }
  return true;
}

bool IsPlainFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool RunProgram(const std::string& program, const std::vector<std::string>& args, std::string* errors,
                std::string* cause) {
  cause->clear();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    *cause = strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    *cause = spawned == ENOENT ? "not found" : strerror(spawned);
    return false;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    errors->append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace host
