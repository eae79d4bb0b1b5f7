#include "tree_options.h"

#include <sstream>

#include "build_tree.h"
#include "host_system.h"

void TreeChoice::Add(CLI::App& app) {
  app.add_option("--exclude", exclude,
                 "leave out paths matching PATTERN in both trees ('\\' between folders, any case, "
                 "* ? and ** as wildcards; repeatable)")
      ->type_name("PATTERN");
  app.add_option("--exclude-from", excludeFrom, "read --exclude patterns from FILE, one a line (repeatable)")
      ->type_name("FILE");
  app.add_option("--links", links, "symbolic links in the trees: refuse (the default), skip, or follow")
      ->check(CLI::IsMember({"refuse", "skip", "follow"}));
}

std::vector<std::string> TreeChoice::Arguments() const {
  std::vector<std::string> args;
  for (const std::string& p : exclude) args.insert(args.end(), {"--exclude", p});
  for (const std::string& f : excludeFrom) args.insert(args.end(), {"--exclude-from", f});
  args.insert(args.end(), {"--links", links});
  return args;
}

bool TreeChoice::Apply(olk::BuildOptions& options, std::string& file, std::string& cause) const {
  for (const std::string& p : exclude) {
    if (p.empty()) {
      file = "--exclude";
      cause = "a pattern cannot be empty";
      return false;
    }
    options.exclude.push_back(p);
  }
  for (const std::string& f : excludeFrom) {
    std::string text, why;
    if (!host::ReadWholeFile(f, &text, &why)) {
      file = f;
      cause = "cannot be read: " + why;
      return false;
    }
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      options.exclude.push_back(line);
    }
  }
  options.links = links == "skip" ? olk::LinkPolicy::kSkip : olk::LinkPolicy::kRefuse;
  options.link_advice = links == "follow"
                            ? "it points nowhere or back into a folder that holds it"
                            : "choose --links skip to leave links out or --links follow to take what they point to";
  return true;
}

std::unique_ptr<olk::FileSystem> TreeChoice::OpenTree(const std::string& dir) const {
  return NewBuildTree(dir, links == "follow");
}
