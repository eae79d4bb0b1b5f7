// Progress of long work on stderr, in one of three forms:
//   terminal  a line redrawn in place: files and bytes done of the total,
//             rate and time left (stderr is a terminal);
//   lines     one plain line per stage, for logs and CI (stderr is not a
//             terminal);
//   quiet     nothing (--quiet).
// Errors are not progress: they are printed whatever the form.
#pragma once

#include <stdint.h>

#include <chrono>
#include <string>

enum class ProgressForm { kQuiet, kLines, kTerminal };

/*! ChooseProgressForm() :
 *  kQuiet when `quiet`, else kTerminal when stderr is a terminal, else
 *  kLines. */
ProgressForm ChooseProgressForm(bool quiet);

/*! HumanBytes() :
 *  "512 B", "12.3 KiB", "4.0 MiB", "1.25 GiB". */
std::string HumanBytes(uint64_t bytes);

class ProgressDisplay {
 public:
  /*! ProgressDisplay() :
   *  `command` prefixes every line ("olkpack diff: ..."). */
  ProgressDisplay(const char* command, ProgressForm form);
  ~ProgressDisplay();  // clears the redrawn line

  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  /*! Stage() :
   *  A new stage of the work: a line of its own in the lines form, the
   *  label of the redrawn line in the terminal form. */
  void Stage(const std::string& text);

  /*! Update() :
   *  Work done so far of the stage's total. Redraws at most ten times a
   *  second, and always when the work is complete. */
  void Update(uint64_t filesDone, uint64_t filesTotal, uint64_t bytesDone, uint64_t bytesTotal);

  /*! Note() :
   *  A line of its own (a summary, a warning), shown unless quiet. */
  void Note(const std::string& line);

  /*! Clear() :
   *  Removes the redrawn line, so that other output starts on a clean
   *  line. */
  void Clear();

  ProgressForm form() const { return form_; }

 private:
  std::string command_;
  ProgressForm form_;
  std::string stage_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point stageStart_;
  std::chrono::steady_clock::time_point lastDraw_;
};
