#include "progress.h"

#include <stdio.h>

#include "host_system.h"

using Clock = std::chrono::steady_clock;

ProgressForm ChooseProgressForm(bool quiet) {
  if (quiet) return ProgressForm::kQuiet;
  return host::StderrIsTerminal() ? ProgressForm::kTerminal : ProgressForm::kLines;
}

std::string HumanBytes(uint64_t bytes) {
  char text[32];
  if (bytes >= (1ull << 30))
    snprintf(text, sizeof text, "%.2f GiB", bytes / 1073741824.0);
  else if (bytes >= (1ull << 20))
    snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
  else if (bytes >= (1ull << 10))
    snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  else
    snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  return text;
}

namespace {

std::string Duration(double seconds) {
  char text[32];
  const unsigned long long s = static_cast<unsigned long long>(seconds + 0.5);
  if (s >= 3600)
    snprintf(text, sizeof text, "%lluh%02llum", s / 3600, s / 60 % 60);
  else
    snprintf(text, sizeof text, "%llum%02llus", s / 60, s % 60);
  return text;
}

}  // namespace

ProgressDisplay::ProgressDisplay(const char* command, ProgressForm form)
    : command_(command), form_(form), stageStart_(Clock::now()), lastDraw_() {}

ProgressDisplay::~ProgressDisplay() { Clear(); }

void ProgressDisplay::Stage(const std::string& text) {
  stage_ = text;
  stageStart_ = Clock::now();
  lastDraw_ = Clock::time_point();
  if (form_ == ProgressForm::kLines) {
    fprintf(stderr, "olkpack %s: %s\n", command_.c_str(), text.c_str());
  } else if (form_ == ProgressForm::kTerminal) {
    fprintf(stderr, "\r\033[Kolkpack %s: %s", command_.c_str(), text.c_str());
    drawn_ = true;
  }
  fflush(stderr);
}

void ProgressDisplay::Update(uint64_t filesDone, uint64_t filesTotal, uint64_t bytesDone, uint64_t bytesTotal) {
  if (form_ != ProgressForm::kTerminal) return;
  const Clock::time_point now = Clock::now();
  const bool complete = filesDone >= filesTotal && bytesDone >= bytesTotal;
  if (!complete && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  const double elapsed = std::chrono::duration<double>(now - stageStart_).count();
  std::string line = "olkpack " + command_ + ": " + stage_ + ": ";
  if (filesTotal > 0) line += std::to_string(filesDone) + "/" + std::to_string(filesTotal) + " files, ";
  line += HumanBytes(bytesDone) + " of " + HumanBytes(bytesTotal);
  // A rate and an estimate only once there is something to go by.
  if (elapsed >= 0.5 && bytesDone > 0) {
    const double rate = bytesDone / elapsed;
    line += ", " + HumanBytes(static_cast<uint64_t>(rate)) + "/s";
    if (!complete && bytesTotal > bytesDone) line += ", " + Duration((bytesTotal - bytesDone) / rate) + " left";
  }
  fprintf(stderr, "\r\033[K%s", line.c_str());
  fflush(stderr);
  drawn_ = true;
}

void ProgressDisplay::Note(const std::string& line) {
  if (form_ == ProgressForm::kQuiet) return;
  Clear();
  fprintf(stderr, "olkpack %s: %s\n", command_.c_str(), line.c_str());
  fflush(stderr);
}

void ProgressDisplay::Clear() {
  if (!drawn_) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  drawn_ = false;
}
