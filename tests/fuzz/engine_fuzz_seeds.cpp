// Writes a few valid patch data files, one for each kind of payload, as
// seeds for engine_patch_fuzz: engine_fuzz_seeds OUT_DIR
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "hash.h"
#include "olkeng/engine.h"
#include "patch_format.h"
#include "window_lz.h"

namespace {

void Put(const std::string& path, const std::string& content) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) exit(1);
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

std::string Noise(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

// A change of `path` from `old_bytes` to `new_bytes`, without its streams.
olk::PatchEntry ChangeEntry(const char* path, olk::Encoding encoding, const std::vector<uint8_t>& old_bytes,
                            const std::vector<uint8_t>& new_bytes) {
  olk::PatchEntry e;
  e.kind = olk::EntryKind::kChangeFile;
  e.encoding = encoding;
  e.path = path;
  e.old_size = old_bytes.size();
  e.old_hash = olk::HashBytes(old_bytes.data(), old_bytes.size());
  e.new_size = new_bytes.size();
  e.new_hash = olk::HashBytes(new_bytes.data(), new_bytes.size());
  return e;
}

// Patch data of one entry whose streams (`payload`) are all kept apart,
// stored, with the index stored too.
void WriteOneEntry(const std::string& path, const olk::PatchEntry& e, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> manifest;
  olk::AppendManifest({e}, &manifest);
  std::vector<uint8_t> out;
  olk::AppendPatchHead(1, 1, manifest.size(), manifest, payload.size(), &out);
  out.insert(out.end(), payload.begin(), payload.end());
  olk::Hash128 h = olk::HashBytes(out.data(), out.size());
  out.insert(out.end(), h.bytes, h.bytes + 16);
  Put(path, std::string(out.begin(), out.end()));
}

// A change entry whose delta streams are all stored, so that mutations
// reach the control and difference decoding directly. The old file is the
// one the fuzz target makes up: byte i is i * 31 + (i >> 8).
void WriteStoredDelta(const std::string& path) {
  const size_t old_size = 600;
  std::vector<uint8_t> old_bytes(old_size);
  for (size_t i = 0; i < old_size; ++i) old_bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  std::vector<uint8_t> control, diff, extra, new_bytes;
  // copy 300 with one changed word, 5 literals, seek back 100, copy 200
  olk::PutVarint(&control, olk::ZigZag(0));
  olk::PutVarint(&control, 300);
  olk::PutVarint(&control, 5);
  olk::PutVarint(&control, olk::ZigZag(-100));
  olk::PutVarint(&control, 200);
  olk::PutVarint(&control, 0);
  olk::PutVarint(&diff, 10);
  olk::PutVarint(&diff, 2);
  diff.push_back(7);
  diff.push_back(9);
  olk::PutVarint(&diff, 486);
  olk::PutVarint(&diff, 0);
  extra = {'h', 'e', 'l', 'l', 'o'};
  // The pair (10, 2, 7 9) adds 0x0907 to the 32-bit word at offset 10.
  for (size_t i = 0; i < 300; ++i) new_bytes.push_back(old_bytes[i]);
  uint32_t word = 0;
  for (int k = 0; k < 4; ++k) word |= static_cast<uint32_t>(old_bytes[10 + k]) << (8 * k);
  word += 0x0907;
  for (int k = 0; k < 4; ++k) new_bytes[10 + k] = static_cast<uint8_t>(word >> (8 * k));
  new_bytes.insert(new_bytes.end(), extra.begin(), extra.end());
  for (size_t i = 200; i < 400; ++i) new_bytes.push_back(old_bytes[i]);
  std::vector<uint8_t> payload;
  for (const std::vector<uint8_t>* st : {&control, &diff, &extra}) payload.insert(payload.end(), st->begin(), st->end());

  olk::PatchEntry e = ChangeEntry("f.bin", olk::Encoding::kDelta, old_bytes, new_bytes);
  const std::vector<uint8_t>* streams[3] = {&control, &diff, &extra};
  for (int i = 0; i < 3; ++i) {
    e.streams[i].codec = 1;  // stored, kept apart
    e.streams[i].decoded_size = e.streams[i].encoded_size = streams[i]->size();
  }
  WriteOneEntry(path, e, payload);
}

// A windowed LZ entry in small segments and windows, stored apart, so
// that mutations reach the segment heads and the LZMA2 data directly. The
// old file is the fuzz target's, as above.
void WriteWindowedLz(const std::string& path) {
  const size_t old_size = 5000;
  std::vector<uint8_t> old_bytes(old_size);
  for (size_t i = 0; i < old_size; ++i) old_bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  std::vector<uint8_t> new_bytes;
  for (size_t i = 0; i + 40 < old_size; i += 37) {
    new_bytes.insert(new_bytes.end(), old_bytes.begin() + i, old_bytes.begin() + i + 30);
    new_bytes.push_back(static_cast<uint8_t>(i));
  }
  std::vector<uint8_t> stream;
  if (!olk::EncodeWindowedLz(old_bytes.data(), old_size, new_bytes.data(), new_bytes.size(), nullptr, &stream, 10,
                             11))
    exit(1);
  olk::PatchEntry e = ChangeEntry("w.bin", olk::Encoding::kWindowedLz, old_bytes, new_bytes);
  e.streams[0].codec = 1;  // stored, kept apart
  e.streams[0].decoded_size = e.streams[0].encoded_size = stream.size();
  WriteOneEntry(path, e, stream);
}

// Entries of several MiB: a whole file and a delta against an old file
// of the fuzz target's pattern, both small once encoded.
bool WriteLargeEntries(const std::string& path, const std::string& tmp, std::string* err) {
  const std::string a = tmp + "/large-a", b = tmp + "/large-b";
  mkdir(a.c_str(), 0755);
  mkdir(b.c_str(), 0755);
  std::string old_big(5u << 20, '\0');
  for (size_t i = 0; i < old_big.size(); ++i) old_big[i] = static_cast<char>(i * 31 + (i >> 8));
  std::string new_big = old_big;
  new_big.insert(1u << 20, "a few new bytes");
  for (size_t i = 2u << 20; i < (3u << 20); i += 4096) new_big[i] ^= 1;
  Put(a + "/big.bin", old_big);
  Put(b + "/big.bin", new_big);
  Put(b + "/zeros.bin", std::string(6u << 20, '\0') + Noise(100, 3));
  auto fa = olk::NewNativeFileSystem(a), fb = olk::NewNativeFileSystem(b);
  std::unique_ptr<olk::File> f;
  if (olk::CreateNativeFile(path, &f) != olk::IoStatus::kOk) return false;
  return olk::BuildPatch(*fa, *fb, *f, olk::BuildOptions(), nullptr, err) == olk::Result::kOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string out = argv[1];
  mkdir(out.c_str(), 0755);
  char tmpl[] = "/tmp/olkseed-XXXXXX";
  const std::string tmp = mkdtemp(tmpl);
  const std::string a = tmp + "/a", b = tmp + "/b";
  mkdir(a.c_str(), 0755);
  mkdir(b.c_str(), 0755);
  mkdir((b + "/dir").c_str(), 0755);
  std::string code = Noise(3000, 1), code2 = code;
  code2.insert(1000, "inserted");
  code2[2000] ^= 4;
  Put(a + "/prog.exe", code);
  Put(b + "/prog.exe", code2);
  Put(a + "/gone.txt", "old");
  Put(b + "/dir/new.txt", std::string(500, 'z') + "tail");
  Put(b + "/noise.bin", Noise(300, 2));
  Put(a + "/text.txt", "alpha beta gamma delta\n");
  Put(b + "/text.txt", "alpha beta gamma delta epsilon\n");
  auto fa = olk::NewNativeFileSystem(a), fb = olk::NewNativeFileSystem(b);
  std::unique_ptr<olk::File> f1, f2;
  if (olk::CreateNativeFile(out + "/forward.pat", &f1) != olk::IoStatus::kOk ||
      olk::CreateNativeFile(out + "/backward.pat", &f2) != olk::IoStatus::kOk)
    return 1;
  std::string err;
  if (olk::BuildPatch(*fa, *fb, *f1, olk::BuildOptions(), nullptr, &err) != olk::Result::kOk ||
      olk::BuildPatch(*fb, *fa, *f2, olk::BuildOptions(), nullptr, &err) != olk::Result::kOk) {
    fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  WriteStoredDelta(out + "/stored_delta.pat");
  WriteWindowedLz(out + "/windowed_lz.pat");
  if (!WriteLargeEntries(out + "/large.pat", tmp, &err)) {
    fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  return system(("rm -rf " + tmp).c_str()) == 0 ? 0 : 1;
}
