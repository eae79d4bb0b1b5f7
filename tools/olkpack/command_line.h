// One subcommand's command line, parsed by CLI11: its options and
// positional arguments, and -h/--help. Every command parses through this,
// so that all of them treat help and mistakes alike:
//   --help   the command's help on stdout, exit status 0, nothing done;
//   mistake  one line on stderr, "olkpack CMD: what is wrong (usage: ...)",
//            exit status 1, nothing done.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

// One row of olkpack's command table (main.cpp).
struct CommandInfo {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* usage;    // synopsis without "olkpack "
  const char* summary;  // one sentence
};

/*! FindCommand() :
 *  @return : the row of `name`, or null for an unknown command. */
const CommandInfo* FindCommand(const std::string& name);

class CommandLine {
 public:
  /*! CommandLine() :
   *  For the command `name` of the table. */
  explicit CommandLine(const char* name);

  CLI::App& app() { return app_; }

  /*! Parse() :
   *  Parses the arguments after the command's name.
   *  @return : -1 when the command should run; else the exit status to
   *            return at once (0 after --help, 1 after a mistake). */
  int Parse(int argc, char** argv);

  /*! Mistake() :
   *  Reports a mistake found after parsing (a combination the options do
   *  not allow) as Parse() reports its own. @return : 1. */
  int Mistake(const std::string& what) const;

 private:
  const CommandInfo& info_;
  CLI::App app_;
};
