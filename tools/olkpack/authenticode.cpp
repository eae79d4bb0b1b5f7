#include "authenticode.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "archive/embedded_archive.h"
#include "diagnostics.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kSigner = "osslsigncode";

bool Readable(const std::string& path, std::string& cause) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    cause = "is a folder, not a file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    cause = std::string("cannot be read: ") + strerror(errno);
    return false;
  }
  return true;
}

// Runs the signer with its standard output discarded; its standard error is
// kept for the error line.
bool RunSigner(const std::vector<std::string>& args, std::string& errors, std::string& cause) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kSigner));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    cause = std::string("cannot run ") + kSigner + ": " + strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, kSigner, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    cause = spawned == ENOENT ? std::string(kSigner) + " is not installed (Debian's package osslsigncode)"
                              : std::string("cannot run ") + kSigner + ": " + strerror(spawned);
    return false;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    errors.append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  // The signer's first line says what went wrong; the rest is OpenSSL's
  // error stack.
  std::string first;
  size_t start = 0;
  while (start < errors.size() && first.empty()) {
    size_t end = errors.find('\n', start);
    if (end == std::string::npos) end = errors.size();
    first = errors.substr(start, end - start);
    while (!first.empty() && (first.back() == '\r' || first.back() == ' ')) first.pop_back();
    start = end + 1;
  }
  cause = std::string(kSigner) + " failed" + (first.empty() ? "" : ": " + first);
  return false;
}

// Same directory offset, names and sizes, found at the same data offset.
bool SameArchive(const std::string& before, const std::string& after, std::string& cause) {
  EmbeddedArchive original(before.c_str());
  if (!original.Open()) return true;  // nothing to keep
  EmbeddedArchive signedFile(after.c_str());
  if (!signedFile.Open()) {
    cause = "the signed file's archive cannot be read: " + DescribeOpenFailure(signedFile, after);
    return false;
  }
  bool same = original.DirectoryOffset() == signedFile.DirectoryOffset() &&
              original.DataStart() == signedFile.DataStart() &&
              original.EntryCount() == signedFile.EntryCount();
  for (uint32_t i = 0; same && i < original.EntryCount(); ++i)
    same = original.Entry(i).size == signedFile.Entry(i).size &&
           strcmp(original.Entry(i).name, signedFile.Entry(i).name) == 0;
  if (!same) cause = "the signed file's archive reads back differently";
  return same;
}

// A private folder beside the target, removed with what is left in it.
struct ScratchFolder {
  std::string path;
  ~ScratchFolder() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

}  // namespace

bool CheckSigningKey(const SigningKey& key, std::string& file, std::string& cause) {
  file = key.certificate;
  if (!Readable(key.certificate, cause)) return false;
  file = key.passwordFile;
  if (!key.passwordFile.empty() && !Readable(key.passwordFile, cause)) return false;
  file = key.timestampUrl;
  if (!key.timestampUrl.empty() && key.timestampUrl.rfind("http://", 0) != 0 &&
      key.timestampUrl.rfind("https://", 0) != 0) {
    cause = "not an http:// or https:// URL of a time-stamp server";
    return false;
  }
  return true;
}

bool SignProgram(const SigningKey& key, const std::string& input, const std::string& target,
                 std::string& cause) {
  struct stat inputStat;
  if (stat(input.c_str(), &inputStat) != 0) {
    cause = std::string("cannot be read: ") + strerror(errno);
    return false;
  }
  // The signer refuses to overwrite, so it writes into a folder of our own
  // on the target's volume, from which the result is renamed into place.
  ScratchFolder scratch;
  std::string pattern = (fs::absolute(target).parent_path() / ".olkpack-sign-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    cause = std::string("cannot make a scratch folder beside the output: ") + strerror(errno);
    return false;
  }
  scratch.path = name.data();
  const std::string signedPath = scratch.path + "/signed.exe";

  std::vector<std::string> args = {"sign", "-pkcs12", key.certificate};
  if (!key.passwordFile.empty()) args.insert(args.end(), {"-readpass", key.passwordFile});
  if (!key.timestampUrl.empty()) args.insert(args.end(), {"-ts", key.timestampUrl});
  args.insert(args.end(), {"-in", input, "-out", signedPath});
  std::string errors;
  if (!RunSigner(args, errors, cause)) return false;
  if (!SameArchive(input, signedPath, cause)) return false;
  if (chmod(signedPath.c_str(), inputStat.st_mode & 07777) != 0 ||
      rename(signedPath.c_str(), target.c_str()) != 0) {
    cause = std::string("cannot replace the output file: ") + strerror(errno);
    return false;
  }
  return true;
}
