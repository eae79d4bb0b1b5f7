// The options that choose what of two build trees goes into a patch:
// --exclude PATTERN (repeatable), --exclude-from FILE (repeatable) and
// --links refuse|skip|follow. Both trees always get the same rules.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "olkeng/engine.h"

struct TreeChoice {
  std::vector<std::string> exclude;
  std::vector<std::string> excludeFrom;
  std::string links = "refuse";

  /*! Add() :
   *  Declares the options on `app`. */
  void Add(CLI::App& app);

  /*! Arguments() :
   *  The options again as arguments, for a command that hands them on. */
  std::vector<std::string> Arguments() const;

  /*! Apply() :
   *  Reads the --exclude-from files (one pattern a line; blank lines and
   *  lines starting with '#' are skipped) and fills `options`.
   *  @return : true, or false with `file` and `cause` for the error line. */
  bool Apply(olk::BuildOptions& options, std::string& file, std::string& cause) const;

  /*! OpenTree() :
   *  The folder `dir` as a build tree, its links followed with
   *  --links follow and shown as links otherwise (build_tree.h). */
  std::unique_ptr<olk::FileSystem> OpenTree(const std::string& dir) const;
};
