#include "patch_format.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>

#include "bytes.h"
#include "codec.h"
#include "payload.h"
#include "unicode_case.h"
#include "worker_thread.h"

namespace olk {

namespace {

bool HasOld(EntryKind k) { return k == EntryKind::kRemoveFile || k == EntryKind::kChangeFile; }
bool HasNew(EntryKind k) { return k == EntryKind::kAddFile || k == EntryKind::kChangeFile; }

/* Decodes one UTF-8 sequence; false on malformed, overlong or surrogate
 * encodings. */
bool NextCodePoint(const std::string& s, size_t* i, uint32_t* cp) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
  size_t n = s.size();
  uint8_t b = p[*i];
  int len;
  uint32_t v;
  if (b < 0x80) {
    *cp = b;
    *i += 1;
    return true;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2;
    v = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3;
    v = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4;
    v = b & 0x07;
  } else {
    return false;
  }
  if (*i + len > n) return false;
  for (int k = 1; k < len; ++k) {
    uint8_t c = p[*i + k];
    if ((c & 0xC0) != 0x80) return false;
    v = v << 6 | (c & 0x3F);
  }
  static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
  *cp = v;
  *i += len;
  return true;
}

bool IsReservedDeviceName(const std::string& component) {
  /* The part before the first dot, with trailing blanks dropped, is what
   * Windows compares with its device names. */
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  std::string up = FoldCase(base);
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* name : kNames)
    if (up == name) return true;
  if ((up.compare(0, 3, "COM") == 0 || up.compare(0, 3, "LPT") == 0)) {
    std::string rest = up.substr(3);
    if (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') return true;
    /* superscript one, two and three count as digits there too */
    if (rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3") return true;
  }
  return false;
}

bool IsSafeComponent(const std::string& c) {
  if (c.empty() || c == "." || c == "..") return false;
  if (c.back() == '.' || c.back() == ' ') return false;
  size_t i = 0;
  while (i < c.size()) {
    uint32_t cp;
    if (!NextCodePoint(c, &i, &cp)) return false;
    if (cp < 0x20 || cp == 0x7F) return false;
    switch (cp) {
      case '<': case '>': case ':': case '"': case '/': case '|': case '?': case '*':
        return false;
      default:
        break;
    }
  }
  return !IsReservedDeviceName(c);
}

}  // namespace

std::string FoldCase(const std::string& path) {
  std::string s;
  s.reserve(path.size());
  size_t i = 0;
  while (i < path.size()) {
    const size_t start = i;
    uint32_t cp;
    if (static_cast<uint8_t>(path[i]) < 0x80) {
      cp = UpcaseUnit(static_cast<uint8_t>(path[i++]));
      s.push_back(static_cast<char>(cp));
      continue;
    }
    if (!NextCodePoint(path, &i, &cp)) {
      s.push_back(path[i++]); /* not UTF-8: kept as it is */
      continue;
    }
    if (cp > 0xFFFF) {
      s.append(path, start, i - start); /* two code units, compared as they are */
      continue;
    }
    cp = UpcaseUnit(static_cast<uint16_t>(cp));
    if (cp < 0x80) {
      s.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      s.push_back(static_cast<char>(0xC0 | cp >> 6));
      s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      s.push_back(static_cast<char>(0xE0 | cp >> 12));
      s.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return s;
}

namespace {

size_t CodePoints(const std::string& s, size_t from, size_t to) {
  size_t n = 0;
  for (size_t i = from; i < to; ++i) n += (static_cast<uint8_t>(s[i]) & 0xC0) != 0x80;
  return n;
}

bool ComponentHasShortNameForm(const std::string& path, size_t start, size_t end) {
  const size_t dot = path.find('.', start);
  const size_t base_end = dot < end ? dot : end;
  if (dot < end && (path.find('.', dot + 1) < end || CodePoints(path, dot + 1, end) > 3)) return false;
  if (CodePoints(path, start, base_end) > 8) return false;
  size_t digits = base_end;
  while (digits > start && path[digits - 1] >= '0' && path[digits - 1] <= '9') --digits;
  return digits < base_end && digits > start && path[digits - 1] == '~';
}

}  // namespace

bool HasShortNameForm(const std::string& path) {
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (ComponentHasShortNameForm(path, start, end)) return true;
    if (end == path.size()) return false;
    start = end + 1;
  }
}

bool IsSafeRelativePath(const std::string& path) {
  if (path.empty() || path.size() > kMaxPathBytes) return false;
  size_t start = 0;
  bool first = true;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string comp = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!IsSafeComponent(comp)) return false;
    if (first && FoldCase(comp) == FoldCase(kStagingFolder)) return false;
    first = false;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return true;
}

namespace {

void PutRef(std::vector<uint8_t>* out, const StreamRef& r, bool with_size) {
  PutU8(out, r.codec);
  if (with_size) PutVarint(out, r.decoded_size);
  if (r.codec >= 2) PutVarint(out, r.encoded_size);
}

}  // namespace

void AppendManifest(const std::vector<PatchEntry>& entries, std::vector<uint8_t>* out, uint16_t version) {
  for (const PatchEntry& e : entries) {
    PutU8(out, static_cast<uint8_t>(e.kind));
    PutVarint(out, e.path.size());
    PutBytes(out, e.path.data(), e.path.size());
    if (version >= 3 && e.kind == EntryKind::kAddFile) {
      PutVarint(out, e.source.size());
      PutBytes(out, e.source.data(), e.source.size());
      if (!e.source.empty()) {
        PutVarint(out, e.old_size);
        PutBytes(out, e.old_hash.bytes, 16);
      }
    }
    if (HasOld(e.kind)) {
      PutVarint(out, e.old_size);
      PutBytes(out, e.old_hash.bytes, 16);
    }
    if (HasNew(e.kind)) {
      PutVarint(out, e.new_size);
      PutBytes(out, e.new_hash.bytes, 16);
      if (e.encoding == Encoding::kCopy) {
        PutU8(out, 3);
      } else if (e.encoding == Encoding::kWindowedLz) {
        PutU8(out, 5);
        PutRef(out, e.streams[0], true);
      } else if (IsDelta(e.encoding)) {
        PutU8(out, e.encoding == Encoding::kExecutableDelta ? 4 : 2);
        for (const StreamRef& r : e.streams) PutRef(out, r, true);
      } else {
        PutU8(out, 1);
        PutRef(out, e.streams[0], false);
      }
    }
  }
}

void AppendPatchHead(uint32_t entry_count, uint8_t codec, uint64_t index_size, const std::vector<uint8_t>& encoded_index,
                     uint64_t separate_size, std::vector<uint8_t>* out, uint16_t version) {
  std::vector<uint8_t> region;
  PutU8(&region, codec);
  PutVarint(&region, index_size);
  PutBytes(&region, encoded_index.data(), encoded_index.size());
  PutBytes(out, kPatchMagic, 8);
  PutLE(out, version, 2);
  PutLE(out, kHeaderSize, 2);
  PutLE(out, 0, 4);
  PutLE(out, kHeaderSize + region.size() + separate_size + kTrailerSize, 8);
  PutLE(out, region.size(), 4);
  PutLE(out, entry_count, 4);
  PutBytes(out, region.data(), region.size());
}

bool CheckManifestStructure(const std::vector<PatchEntry>& entries) {
  enum : unsigned {
    kAddFolder = 1u << 1,
    kRemoveFolder = 1u << 2,
    kAddFile = 1u << 3,
    kRemoveFile = 1u << 4,
    kChangeFile = 1u << 5,
  };
  std::unordered_map<std::string, unsigned> kinds;
  kinds.reserve(entries.size() * 2);
  for (const PatchEntry& e : entries) {
    unsigned bit = 1u << static_cast<unsigned>(e.kind);
    unsigned& k = kinds[FoldCase(e.path)];
    if (k & bit) return false;
    k |= bit;
  }
  for (const auto& kv : kinds) {
    unsigned k = kv.second;
    if ((k & (k - 1)) == 0) continue; /* one entry */
    if (k == (kRemoveFile | kAddFolder) || k == (kRemoveFolder | kAddFile) || k == (kRemoveFile | kAddFile)) continue;
    return false;
  }
  /* What may happen inside each path, from what happens to it: nothing is
   * created inside a path that stops being (or does not become) a folder,
   * nothing removed inside one that was not a folder. */
  struct Node {
    const std::string* key;
    unsigned kinds;
    bool no_creates, no_removes; /* inside it, from it or any ancestor */
  };
  std::vector<Node> nodes;
  nodes.reserve(kinds.size());
  for (const auto& kv : kinds) {
    const unsigned a = kv.second;
    const bool no_creates = (a & (kChangeFile | kAddFile | kRemoveFolder)) || ((a & kRemoveFile) && !(a & kAddFolder));
    const bool no_removes = (a & (kChangeFile | kRemoveFile | kAddFolder)) || ((a & kAddFile) && !(a & kRemoveFolder));
    nodes.push_back(Node{&kv.first, a, no_creates, no_removes});
  }
  /* Sorted with the separator below every other byte, a path's descendants
   * follow it at once, so one pass with a stack of the open ancestors sees
   * each path's ancestors without copying a prefix per ancestor (which
   * would be quadratic in the depth). */
  auto sep_first = [](const Node& x, const Node& y) {
    const std::string &a = *x.key, &b = *y.key;
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
      if (a[i] == b[i]) continue;
      const unsigned ca = a[i] == '\\' ? 0u : static_cast<uint8_t>(a[i]) + 1u;
      const unsigned cb = b[i] == '\\' ? 0u : static_cast<uint8_t>(b[i]) + 1u;
      return ca < cb;
    }
    return a.size() < b.size();
  };
  std::sort(nodes.begin(), nodes.end(), sep_first);
  std::vector<Node> open; /* ancestors of the current path, with inherited limits */
  for (Node n : nodes) {
    const std::string& key = *n.key;
    while (!open.empty()) {
      const std::string& anc = *open.back().key;
      if (key.size() > anc.size() && key[anc.size()] == '\\' && key.compare(0, anc.size(), anc) == 0) break;
      open.pop_back();
    }
    if (!open.empty()) {
      const Node& parent = open.back();
      const bool creates = (n.kinds & (kAddFolder | kAddFile | kChangeFile)) != 0;
      const bool removes = (n.kinds & (kRemoveFolder | kRemoveFile)) != 0;
      if ((creates && parent.no_creates) || (removes && parent.no_removes)) return false;
      n.no_creates |= parent.no_creates;
      n.no_removes |= parent.no_removes;
    }
    open.push_back(n);
  }
  return true;
}

namespace {

/* The manifest at the start of the decoded index, of which `n` bytes are
 * there so far. *short_of_data is set when it may run on past them. */
Result ParseManifest(const uint8_t* data, size_t n, uint64_t index_size, uint64_t count, uint64_t version,
                     uint64_t payload_start, uint64_t payload_end, PatchInfo* info, size_t* manifest_end,
                     bool* short_of_data) {
  ByteReader in(data, n);
  info->entries.clear();
  /* Grown as entries prove to be there: a count that only the index's
   * size bounds could otherwise reserve far more than the index holds. */
  info->entries.reserve(static_cast<size_t>(std::min<uint64_t>(count, 4096)));
  uint64_t separate_pos = payload_start, solid_pos = 0;
  auto read_ref = [&](StreamRef* ref, bool with_size, uint64_t implied_size) {
    if (!in.U8(&ref->codec) || ref->codec > 3) return false;
    ref->decoded_size = implied_size;
    if (with_size && !in.Varint(&ref->decoded_size)) return false;
    ref->encoded_size = ref->decoded_size;
    if (ref->codec >= 2 && !in.Varint(&ref->encoded_size)) return false;
    if (ref->codec == 0) {
      if (ref->decoded_size > index_size - solid_pos) return false;
      ref->offset = solid_pos;
      solid_pos += ref->decoded_size;
    } else {
      if (ref->encoded_size > payload_end - separate_pos) return false;
      ref->offset = separate_pos;
      separate_pos += ref->encoded_size;
    }
    return true;
  };
  auto parse = [&]() {
    for (uint64_t i = 0; i < count; ++i) {
      PatchEntry e;
      uint8_t kind;
      uint64_t path_len;
      if (!in.U8(&kind) || !in.Varint(&path_len)) return false;
      if (kind < 1 || kind > 5) return false;
      e.kind = static_cast<EntryKind>(kind);
      if (path_len == 0 || path_len > kMaxPathBytes || !in.Str(&e.path, static_cast<size_t>(path_len))) return false;
      if (!IsSafeRelativePath(e.path) || HasShortNameForm(e.path)) return false;
      if (version >= 3 && e.kind == EntryKind::kAddFile) {
        uint64_t source_len;
        if (!in.Varint(&source_len) || source_len > kMaxPathBytes || !in.Str(&e.source, static_cast<size_t>(source_len)))
          return false;
        if (!e.source.empty() && (!IsSafeRelativePath(e.source) || HasShortNameForm(e.source) ||
                                  !in.Varint(&e.old_size) || !in.Bytes(e.old_hash.bytes, 16)))
          return false;
      }
      if (HasOld(e.kind) && (!in.Varint(&e.old_size) || !in.Bytes(e.old_hash.bytes, 16))) return false;
      if (HasNew(e.kind)) {
        uint8_t form;
        if (!in.Varint(&e.new_size) || !in.Bytes(e.new_hash.bytes, 16) || !in.U8(&form)) return false;
        const uint64_t first = separate_pos;
        if (form == 1) {
          if (!read_ref(&e.streams[0], false, e.new_size)) return false;
          e.encoding = e.streams[0].codec == 0 ? Encoding::kStored : static_cast<Encoding>(e.streams[0].codec);
        } else if (form == 3 && !e.source.empty()) {
          /* a copy of the source: no streams */
          if (e.new_size != e.old_size || e.new_hash != e.old_hash) return false;
          e.encoding = Encoding::kCopy;
        } else if ((form == 2 || (form == 4 && version >= 3)) &&
                   (e.kind == EntryKind::kChangeFile || !e.source.empty())) {
          for (StreamRef& r : e.streams)
            if (!read_ref(&r, true, 0)) return false;
          e.encoding = form == 4 ? Encoding::kExecutableDelta : Encoding::kDelta;
        } else if (form == 5 && version >= 4 && (e.kind == EntryKind::kChangeFile || !e.source.empty())) {
          if (!read_ref(&e.streams[0], true, 0)) return false;
          e.encoding = Encoding::kWindowedLz;
        } else {
          return false;
        }
        if (!DeclaredSizesPossible(e)) return false;
        e.payload_offset = first;
        e.payload_size = separate_pos - first;
      }
      info->entries.push_back(std::move(e));
    }
    return true;
  };
  const bool parsed = parse();
  /* Every read that failed ran into the end of the bytes there so far, or
   * met a malformed number: more bytes tell which. */
  *short_of_data = !in.ok() && n < index_size;
  if (!parsed || !in.ok()) return Result::kBadPatch;
  /* The solid area is what follows the manifest, used up exactly; the
   * streams kept apart fill the payload area exactly. */
  *manifest_end = in.Consumed(data);
  if (index_size - *manifest_end != solid_pos || separate_pos != payload_end) return Result::kBadPatch;
  if (!CheckManifestStructure(info->entries)) return Result::kBadPatch;
  return Result::kOk;
}

}  // namespace

/* The decoder of the index region, and the index as far as it has
 * decoded. */
struct SolidAreaDecode::State {
  StreamDecoder dec;
  std::vector<uint8_t> index;
  size_t decoded = 0;
  size_t manifest_end = 0;
  Result result = Result::kOk; /* of the decode of the rest */
  WorkerThread thread;
  bool threaded = false;

  Result DecodeTo(size_t end) {
    Result r = dec.Read(index.data() + decoded, end - decoded);
    if (r == Result::kOk) decoded = end;
    return r;
  }
  static void Run(void* self) {
    State* st = static_cast<State*>(self);
    try {
      st->result = st->DecodeTo(st->index.size());
    } catch (...) {
      st->result = Result::kNoMemory;
    }
  }
};

SolidAreaDecode::SolidAreaDecode() = default;
SolidAreaDecode::~SolidAreaDecode() {
  if (state_) state_->thread.Join();
}

void SolidAreaDecode::Start() {
  if (state_ && !state_->threaded && state_->decoded < state_->index.size())
    state_->threaded = state_->thread.Start(&State::Run, state_.get());
}

Result SolidAreaDecode::Finish(PatchInfo* info) {
  if (!state_) return Result::kOk;
  State& st = *state_;
  if (st.threaded)
    st.thread.Join();
  else
    st.result = st.DecodeTo(st.index.size());
  Result r = st.result;
  if (r == Result::kOk) r = st.dec.Finish();
  if (r == Result::kOk) {
    /* In place: a copy would fault in the pages of a second solid area. */
    st.index.erase(st.index.begin(), st.index.begin() + static_cast<std::ptrdiff_t>(st.manifest_end));
    info->solid = std::move(st.index);
  }
  state_.reset();
  return r;
}

Result ReadPatchManifest(File& patch, PatchInfo* info, SolidAreaDecode* rest) {
  try {
    const uint64_t size = patch.Size();
    if (size < kHeaderSize + kTrailerSize) return Result::kBadPatch;
    uint8_t head[kHeaderSize];
    size_t got = 0;
    if (patch.ReadAt(0, head, kHeaderSize, &got) != IoStatus::kOk || got != kHeaderSize)
      return Result::kCannotOpenPatch;
    if (std::memcmp(head, kPatchMagic, 8) != 0) return Result::kBadPatch;
    const uint64_t version = GetLE(head + 8, 2);
    const uint64_t header_size = GetLE(head + 10, 2);
    const uint64_t flags = GetLE(head + 12, 4);
    const uint64_t total = GetLE(head + 16, 8);
    const uint64_t region_size = GetLE(head + 24, 4);
    const uint64_t count = GetLE(head + 28, 4);
    if (version < kOldestPatchVersion || version > kPatchVersion || header_size != kHeaderSize || flags != 0 || total != size)
      return Result::kBadPatch;
    if (region_size < 2 || region_size > size - kHeaderSize - kTrailerSize) return Result::kBadPatch;

    /* The checksum covers every byte before the trailer. */
    {
      Hasher hasher;
      if (!hasher.ok()) return Result::kNoMemory;
      uint64_t pos = 0, end = size - kTrailerSize;
      /* Not zeroed, and small enough that the hash finds in the processor's
       * cache what the read just put there (every fresh page also costs a
       * fault). */
      const size_t buf_size = static_cast<size_t>(std::min<uint64_t>(end, 256 << 10));
      std::unique_ptr<uint8_t[]> buf(new uint8_t[buf_size]);
      while (pos < end) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buf_size, end - pos));
        if (patch.ReadAt(pos, buf.get(), want, &got) != IoStatus::kOk || got != want)
          return Result::kCannotOpenPatch;
        hasher.Update(buf.get(), want);
        pos += want;
      }
      uint8_t trailer[kTrailerSize];
      if (patch.ReadAt(end, trailer, kTrailerSize, &got) != IoStatus::kOk || got != kTrailerSize)
        return Result::kCannotOpenPatch;
      if (std::memcmp(hasher.Digest().bytes, trailer, kTrailerSize) != 0) return Result::kBadPatch;
    }

    /* The index region: codec, decoded size, the encoded index. */
    uint8_t rhead[11];
    const size_t rlen = static_cast<size_t>(std::min<uint64_t>(sizeof rhead, region_size));
    if (patch.ReadAt(kHeaderSize, rhead, rlen, &got) != IoStatus::kOk || got != rlen) return Result::kCannotOpenPatch;
    ByteReader rh(rhead, rlen);
    uint8_t codec;
    uint64_t index_size;
    if (!rh.U8(&codec) || codec < 1 || codec > 3 || !rh.Varint(&index_size) || index_size > kMaxIndexSize)
      return Result::kBadPatch;
    const size_t rhead_len = rh.Consumed(rhead);
    /* Checked before the index is allocated. */
    if (index_size > MaxDecodedSize(static_cast<Codec>(codec), region_size - rhead_len)) return Result::kBadPatch;
    if (count > index_size / 3) return Result::kBadPatch; /* an entry takes at least 3 bytes */
    std::unique_ptr<SolidAreaDecode::State> st(new SolidAreaDecode::State);
    st->index.resize(static_cast<size_t>(index_size));
    Result r = st->dec.Init(&patch, kHeaderSize + rhead_len, region_size - rhead_len, static_cast<Codec>(codec),
                            index_size);
    if (r != Result::kOk) return r;

    /* The manifest comes first: decoded as far as it reaches (more each
     * time it runs past what is there), so that the solid area after it
     * can be decoded while the caller checks the install folder. */
    info->version = static_cast<uint16_t>(version);
    info->total_size = size;
    info->solid.clear();
    const uint64_t payload_start = kHeaderSize + region_size;
    const uint64_t payload_end = size - kTrailerSize;
    for (size_t step = 4 << 10;; step *= 2) {
      r = st->DecodeTo(static_cast<size_t>(std::min<uint64_t>(index_size, st->decoded + step)));
      if (r != Result::kOk) return r;
      bool short_of_data = false;
      r = ParseManifest(st->index.data(), st->decoded, index_size, count, version, payload_start, payload_end, info,
                        &st->manifest_end, &short_of_data);
      if (r == Result::kOk) break;
      if (!short_of_data) return r;
    }
    rest->state_ = std::move(st);
    return Result::kOk;
  } catch (const std::bad_alloc&) {
    return Result::kNoMemory;
  }
}

Result ReadPatch(File& patch, PatchInfo* info) {
  SolidAreaDecode rest;
  Result r = ReadPatchManifest(patch, info, &rest);
  return r == Result::kOk ? rest.Finish(info) : r;
}

}  // namespace olk
