#include "command_line.h"

#include <stdio.h>

#include <vector>

CommandLine::CommandLine(const char* name)
    : info_(*FindCommand(name)), app_(info_.summary, std::string("olkpack ") + name) {
  app_.footer(std::string("usage: olkpack ") + info_.usage + "\nexit status: see olkpack --help");
}

int CommandLine::Parse(int argc, char** argv) {
  std::vector<const char*> args;
  args.push_back(info_.name);
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  try {
    app_.parse(static_cast<int>(args.size()), args.data());
  } catch (const CLI::CallForHelp&) {
    fputs(app_.help().c_str(), stdout);
    return fflush(stdout) == 0 ? 0 : 1;
  } catch (const CLI::ParseError& e) {
    return Mistake(e.what());
  }
  return -1;
}

int CommandLine::Mistake(const std::string& what) const {
  fprintf(stderr, "olkpack %s: %s (usage: olkpack %s)\n", info_.name, what.c_str(), info_.usage);
  return 1;
}
