/* MatchesExcludePattern(): the patterns that leave paths out of a build.
 *
 * Matched by dynamic programming over the pattern's tokens and the path's
 * bytes, so a pattern of many stars costs time in proportion to the
 * product of the lengths, never a backtracking blow-up. Both sides are
 * folded with the engine's own case key, so a pattern matches exactly the
 * names that Windows treats as the same. */
#include <vector>

#include "olkeng/engine.h"
#include "patch_format.h"

namespace olk {

namespace {

enum class Token : uint8_t { kByte, kOne, kRun, kAnyRun, kAnyFolders };

struct Step {
  Token token;
  char byte;
};

std::vector<Step> Tokenize(const std::string& pattern) {
  std::vector<Step> steps;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '*' && i + 1 < pattern.size() && pattern[i + 1] == '*') {
      ++i;
      while (i + 1 < pattern.size() && pattern[i + 1] == '*') ++i;
      if (i + 1 < pattern.size() && pattern[i + 1] == '\\') {
        ++i;
        steps.push_back({Token::kAnyFolders, 0});
      } else {
        steps.push_back({Token::kAnyRun, 0});
      }
    } else if (c == '*') {
      steps.push_back({Token::kRun, 0});
    } else if (c == '?') {
      steps.push_back({Token::kOne, 0});
    } else {
      steps.push_back({Token::kByte, c});
    }
  }
  return steps;
}

/* The end of the UTF-8 character that starts at `i`. */
size_t NextCharacter(const std::string& text, size_t i) {
  ++i;
  while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  return i;
}

bool Matches(const std::vector<Step>& steps, const std::string& text) {
  const size_t m = text.size();
  /* next[j]: the steps after the current one match text[j..]. */
  std::vector<char> next(m + 1, 0), here(m + 1, 0);
  next[m] = 1;
  for (size_t k = steps.size(); k-- > 0;) {
    const Step& s = steps[k];
    /* Past the current step: some later j' ending a folder name. */
    bool later_folder = false;
    for (size_t j = m + 1; j-- > 0;) {
      const bool more = j < m;
      switch (s.token) {
        case Token::kByte: here[j] = more && text[j] == s.byte && next[j + 1]; break;
        case Token::kOne: here[j] = more && text[j] != '\\' && next[NextCharacter(text, j)]; break;
        case Token::kRun: here[j] = next[j] || (more && text[j] != '\\' && here[j + 1]); break;
        case Token::kAnyRun: here[j] = next[j] || (more && here[j + 1]); break;
        case Token::kAnyFolders:
          if (more && text[j] == '\\' && next[j + 1]) later_folder = true;
          here[j] = next[j] || later_folder;
          break;
      }
    }
    next.swap(here);
  }
  return next[0] != 0;
}

}  // namespace

bool MatchesExcludePattern(const std::string& pattern, const std::string& path, bool folder) {
  std::string p = FoldCase(pattern);
  for (char& c : p)
    if (c == '/') c = '\\';
  bool folders_only = false;
  while (!p.empty() && p.back() == '\\') {
    p.pop_back();
    folders_only = true;
  }
  if (p.empty() || (folders_only && !folder)) return false;
  std::string text = FoldCase(path);
  if (p[0] == '\\') {
    p.erase(0, p.find_first_not_of('\\'));
  } else if (p.find('\\') == std::string::npos) {
    const size_t cut = text.rfind('\\');
    if (cut != std::string::npos) text.erase(0, cut + 1);
  }
  return Matches(Tokenize(p), text);
}

}  // namespace olk
