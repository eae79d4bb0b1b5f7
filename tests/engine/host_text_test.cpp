// The DLL's texts for the host: cut to its fixed buffer after a whole
// character, in encodings of one, two and up to four bytes a character.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host_text.h"

namespace {

// The ANSI code page as UTF-8 (65001).
size_t Utf8(const uint16_t* u, size_t n, char* out, void*) {
  uint32_t cp = u[0];
  if (n == 2) cp = 0x10000 + ((u[0] - 0xD800u) << 10) + (u[1] - 0xDC00u);
  else if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | cp >> 6);
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | cp >> 12);
    s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | cp >> 18);
    s += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  s.copy(out, s.size());
  return s.size();
}

// A single-byte code page (Latin-1): other characters cannot be encoded.
size_t Latin1(const uint16_t* u, size_t n, char* out, void*) {
  if (n != 1 || u[0] > 0xFF) return 0;
  out[0] = static_cast<char>(u[0]);
  return 1;
}

// A double-byte code page: two bytes for anything but ASCII.
size_t DoubleByte(const uint16_t* u, size_t n, char* out, void*) {
  if (n == 1 && u[0] < 0x80) {
    out[0] = static_cast<char>(u[0]);
    return 1;
  }
  out[0] = '\x81';
  out[1] = 'x';
  return 2;
}

std::u16string Repeat(const std::u16string& s, size_t n) {
  std::u16string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(HostText, LongTextsAreCutAfterAWholeCharacter) {
  struct Case {
    const char* what;
    std::u16string text;
    olk::CharEncoder encode;
    size_t expected_len;
  };
  const std::u16string emoji = u"\U0001F600";  // a surrogate pair, 4 bytes in UTF-8
  const Case cases[] = {
      {"fits exactly", Repeat(u"a", 1023), Utf8, 1023},
      {"ASCII cut", Repeat(u"a", 5000), Utf8, 1023},
      {"two-byte characters cut in UTF-8", Repeat(u"\u00E9", 2000), Utf8, 1022},
      {"three-byte characters cut in UTF-8", Repeat(u"\u65E5", 2000), Utf8, 1023},
      {"a pair that would be split is left out", Repeat(u"a", 1020) + emoji, Utf8, 1020},
      {"double-byte code page", u"aa" + Repeat(u"\u65E5", 1000), DoubleByte, 1022},
      {"single-byte code page", Repeat(u"\u00E9", 2000), Latin1, 1023},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char out[1024];
    std::memset(out, 0x55, sizeof out);
    const size_t len = olk::FitHostText(reinterpret_cast<const uint16_t*>(c.text.data()), c.text.size(), c.encode,
                                        nullptr, out, sizeof out);
    EXPECT_EQ(len, c.expected_len);
    EXPECT_EQ(out[len], '\0');
    // The text is a prefix of the whole text in that encoding.
    char whole[16384];
    olk::FitHostText(reinterpret_cast<const uint16_t*>(c.text.data()), c.text.size(), c.encode, nullptr, whole,
                     sizeof whole);
    EXPECT_EQ(std::string(whole).compare(0, len, out), 0);
  }
}

TEST(HostText, CharactersTheCodePageLacksBecomeQuestionMarks) {
  const std::u16string text = u"caf\u00E9 \u65E5\U0001F600 \xD800x";  // and a lone surrogate
  char out[64];
  olk::FitHostText(reinterpret_cast<const uint16_t*>(text.data()), text.size(), Latin1, nullptr, out, sizeof out);
  EXPECT_EQ(std::string(out), "caf\xE9 ?? ?x");
  olk::FitHostText(reinterpret_cast<const uint16_t*>(text.data()), text.size(), Utf8, nullptr, out, sizeof out);
  EXPECT_EQ(std::string(out), "caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x98\x80 ?x");
  olk::FitHostText(reinterpret_cast<const uint16_t*>(text.data()), text.size(), Utf8, nullptr, out, 1);
  EXPECT_EQ(std::string(out), "");
}

}  // namespace
