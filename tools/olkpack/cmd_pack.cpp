// olkpack pack --stub STUB.exe -o OUT.exe MEMBER_FILE...
//
// Writes the stub, zero fill up to the next 64 KiB boundary (none when the
// stub already ends on one), the directory there, the members' bytes in
// the order given, and the trailer, the way shipped installers are laid out.
// Members are named by their files' base names. The result is read back
// with the installer's own reader before it replaces OUT.
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/embedded_archive.h"
#include "archive/embedfs_format.h"
#include "atomic_output.h"
#include "command_line.h"
#include "commands.h"
#include "diagnostics.h"
#include "host_system.h"

namespace {

struct Input {
  std::string path;
  std::string name;  // base name: the member's name in the archive
  uint64_t size = 0;
};

std::string BaseName(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool SameNameIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Size of a readable regular file, or a cause for the error line.
bool Measure(const std::string& path, uint64_t& size, std::string& cause) {
  std::unique_ptr<olk::File> file;
  const olk::IoStatus s = host::OpenForReading(path, &file, &cause);
  if (s != olk::IoStatus::kOk) {
    cause = s == olk::IoStatus::kIsDirectory ? "not a regular file" : "cannot open the file: " + cause;
    return false;
  }
  if (!host::IsPlainFile(path)) {
    cause = "not a regular file";
    return false;
  }
  size = file->Size();
  return true;
}

void AppendU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Copies exactly `size` bytes of `path` into `out`; a file that changed
// size since it was measured is an error, not a silently wrong archive.
bool CopyFile(const std::string& path, uint64_t size, AtomicOutput& out, std::string& failedFile,
              std::string& cause) {
  std::unique_ptr<olk::File> in;
  if (host::OpenForReading(path, &in, &cause) != olk::IoStatus::kOk) {
    failedFile = path;
    cause = "cannot open the file: " + cause;
    return false;
  }
  std::vector<char> buffer(1 << 20);
  uint64_t at = 0;
  size_t got = 0;
  while (at < size) {
    size_t want = size - at < buffer.size() ? static_cast<size_t>(size - at) : buffer.size();
    if (in->ReadAt(at, buffer.data(), want, &got) != olk::IoStatus::kOk || got == 0) break;
    if (!out.Write(buffer.data(), got)) {
      failedFile.clear();  // the output's error
      cause = out.Error();
      return false;
    }
    at += got;
  }
  char extra;
  if (at < size || in->ReadAt(at, &extra, 1, &got) != olk::IoStatus::kOk || got != 0) {
    failedFile = path;
    cause = "the file changed while it was being packed";
    return false;
  }
  return true;
}

// Reads the finished file back with the installer's reader: same directory
// offset, names, sizes and bytes as packed.
bool Verify(const std::string& path, uint32_t directory, const std::vector<Input>& members,
            std::string& cause) {
  EmbeddedArchive archive(path.c_str());
  if (!archive.Open()) {
    cause = "the packed file does not read back: " + DescribeOpenFailure(archive, path);
    return false;
  }
  if (archive.DirectoryOffset() != directory || archive.EntryCount() != members.size()) {
    cause = "the packed file reads back with a different directory";
    return false;
  }
  for (uint32_t i = 0; i < members.size(); ++i) {
    const ArchiveEntry& entry = archive.Entry(i);
    if (entry.size != members[i].size || members[i].name != entry.name) {
      cause = "member " + std::to_string(i) + " reads back differently";
      return false;
    }
    // The first of equal names is the one found, and names are unique here.
    uint32_t size = 0;
    const void* view = archive.MapMember(entry.name, size);
    if (!view) {
      cause = "member " + std::to_string(i) + " cannot be mapped back";
      return false;
    }
    std::string original, unread;
    bool same = host::ReadWholeFile(members[i].path, &original, &unread) && original.size() == size &&
                memcmp(original.data(), view, size) == 0;
    archive.UnmapMember(view);
    if (!same) {
      cause = "member " + std::to_string(i) + " reads back with other bytes";
      return false;
    }
  }
  return true;
}

}  // namespace

int RunPack(int argc, char** argv) {
  CommandLine cli("pack");
  std::string stub, output;
  std::vector<std::string> files;
  cli.app().add_option("--stub", stub, "the installer program the archive is appended to")->required();
  cli.app().add_option("-o,--output", output, "the installer to write")->required();
  cli.app().add_option("MEMBER_FILE", files, "the members, named by their file names")->required();
  if (int status = cli.Parse(argc, argv); status >= 0) return status;
  std::vector<Input> members;
  for (const std::string& file : files) members.push_back(Input{file, BaseName(file), 0});

  std::string cause;
  uint64_t stubSize = 0;
  if (!Measure(stub, stubSize, cause)) return Fail(stub, cause);
  {
    // Packing an installer again would bury its archive inside the image.
    EmbeddedArchive existing(stub.c_str());
    if (existing.Open()) return Fail(stub, "already carries an EmbedFs archive");
  }
  const uint64_t alignment = embedfs::kDirectoryAlignment;
  const uint64_t directory = (stubSize + alignment - 1) / alignment * alignment;

  uint64_t directoryLength = embedfs::kCountSize;
  uint64_t dataLength = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    Input& m = members[i];
    if (!Measure(m.path, m.size, cause)) return Fail(m.path, cause);
    if (m.name.empty()) return Fail(m.path, "has no file name to name the member by");
    for (size_t j = 0; j < i; ++j)
      if (SameNameIgnoringAsciiCase(members[j].name, m.name))
        return Fail(m.path, "member name \"" + m.name + "\" is already taken by " +
                                members[j].path + " (names are compared ignoring case)");
    directoryLength += embedfs::kEntryHeaderSize + m.name.size() + 1;
    dataLength += m.size;
  }
  // The reader moves to D as a signed 32-bit distance and sums member
  // offsets in 32 bits; the file's size must not look like a failed query.
  const uint64_t total = directory + directoryLength + dataLength + embedfs::kTrailerSize;
  if (directory > embedfs::kMaxDirectoryOffset || total >= 0xFFFFFFFFull)
    return Fail(output, "the archive would exceed the format's limits (directory below 2 GiB, "
                        "file below 4 GiB)");

  std::string header;
  AppendU32(header, static_cast<uint32_t>(members.size()));
  for (const Input& m : members) {
    AppendU32(header, static_cast<uint32_t>(m.size));
    AppendU32(header, static_cast<uint32_t>(m.name.size()));
    header.append(m.name.c_str(), m.name.size() + 1);  // the NUL is stored
  }
  std::string trailer;
  AppendU32(trailer, static_cast<uint32_t>(directory));
  trailer.append(embedfs::kMagic, embedfs::kMagicSize);

  AtomicOutput out(output);
  std::string failedFile;
  if (!out.Create()) return Fail(output, out.Error());
  if (!CopyFile(stub, stubSize, out, failedFile, cause))
    return Fail(failedFile.empty() ? output : failedFile, cause);
  if (!out.WriteZeros(static_cast<size_t>(directory - stubSize)) ||
      !out.Write(header.data(), header.size()))
    return Fail(output, out.Error());
  for (const Input& m : members)
    if (!CopyFile(m.path, m.size, out, failedFile, cause))
      return Fail(failedFile.empty() ? output : failedFile, cause);
  if (!out.Write(trailer.data(), trailer.size()) || !out.Finish()) return Fail(output, out.Error());
  if (!Verify(out.TempPath(), static_cast<uint32_t>(directory), members, cause))
    return Fail(output, cause);
  if (!out.Commit()) return Fail(output, out.Error());
  return 0;
}
