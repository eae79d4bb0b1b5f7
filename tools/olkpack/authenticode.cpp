#include "authenticode.h"

#include <string.h>

#include <memory>
#include <vector>

#include "archive/embedded_archive.h"
#include "diagnostics.h"
#include "host_system.h"

namespace {

constexpr const char* kSigner = "osslsigncode";

bool Readable(const std::string& path, std::string& cause) {
  std::unique_ptr<olk::File> file;
  const olk::IoStatus s = host::OpenForReading(path, &file, &cause);
  if (s != olk::IoStatus::kOk && s != olk::IoStatus::kIsDirectory) cause = "cannot be read: " + cause;
  return s == olk::IoStatus::kOk;
}

// Runs the signer with its standard output discarded; its standard error is
// kept for the error line.
bool RunSigner(const std::vector<std::string>& args, std::string& errors, std::string& cause) {
  std::string why;
  if (host::RunProgram(kSigner, args, &errors, &why)) return true;
  if (!why.empty()) {
    cause = why == "not found" ? std::string(kSigner) + " is not installed (Debian's package osslsigncode)"
                               : std::string("cannot run ") + kSigner + ": " + why;
    return false;
  }
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
    if (!path.empty()) host::RemoveScratchFolder(path);
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
  if (!Readable(input, cause)) return false;
  // The signer refuses to overwrite, so it writes into a folder of our own
  // on the target's volume, from which the result is renamed into place.
  ScratchFolder scratch;
  std::string why;
  if (!host::MakeScratchFolder(host::FolderOf(target), ".olkpack-sign-", &scratch.path, &why)) {
    cause = "cannot make a scratch folder beside the output: " + why;
    return false;
  }
  const std::string signedPath = host::JoinPath(scratch.path, "signed.exe");

  std::vector<std::string> args = {"sign", "-pkcs12", key.certificate};
  if (!key.passwordFile.empty()) args.insert(args.end(), {"-readpass", key.passwordFile});
  if (!key.timestampUrl.empty()) args.insert(args.end(), {"-ts", key.timestampUrl});
  args.insert(args.end(), {"-in", input, "-out", signedPath});
  std::string errors;
  if (!RunSigner(args, errors, cause)) return false;
  if (!SameArchive(input, signedPath, cause)) return false;
  // The signed file keeps the permissions of the input.
  if (!host::RenameOver(signedPath, target, input, &why)) {
    cause = "cannot replace the output file: " + why;
    return false;
  }
  return true;
}
