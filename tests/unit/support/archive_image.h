// Builds program files with an appended archive, byte by byte, for the
// reader's tests. Written independently of the authoring tool, so that the
// tests check the reader against the format and not against the packer.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace archive_image {

// Little-endian appender.
class Bytes {
 public:
  Bytes& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) s_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  Bytes& Raw(const std::string& bytes) {
    s_ += bytes;
    return *this;
  }
  // Zero fill up to `offset` (nothing when already there).
  Bytes& PadTo(size_t offset) {
    if (s_.size() < offset) s_.resize(offset, '\0');
    return *this;
  }
  // One directory entry: size, nameLength, the name and its NUL.
  Bytes& Entry(uint32_t size, const std::string& name) {
    return U32(size).U32(static_cast<uint32_t>(name.size())).Raw(name).Raw(std::string(1, '\0'));
  }
  // The 16-byte trailer: D and the magic (or another 12 bytes).
  Bytes& Trailer(uint32_t directory, const std::string& magic = Magic()) {
    return U32(directory).Raw(magic);
  }
  static std::string Magic() { return std::string("EmbedFs 1.0", 12); }
  size_t size() const { return s_.size(); }
  const std::string& str() const { return s_; }

 private:
  std::string s_;
};

struct Member {
  std::string name;
  std::string data;
};

// `image`, zero fill to `directory`, a well-formed directory of `members`,
// their data back to back, and the trailer.
inline std::string Program(const std::string& image, uint32_t directory,
                           const std::vector<Member>& members) {
  Bytes b;
  b.Raw(image).PadTo(directory).U32(static_cast<uint32_t>(members.size()));
  for (const Member& m : members) b.Entry(static_cast<uint32_t>(m.data.size()), m.name);
  for (const Member& m : members) b.Raw(m.data);
  return b.Trailer(directory).str();
}

// `length` bytes that differ from member to member and from offset to
// offset, so that a view at a wrong offset shows.
inline std::string Pattern(size_t length, unsigned seed) {
  std::string s(length, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

}  // namespace archive_image
