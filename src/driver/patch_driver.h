// The patch driver: one patch run, from the guard against a running client to
// the final message box or the start of the next program.
#pragma once

class PatchDriver {
 public:
  // Runs the whole patch run on the calling (GUI) thread for `commandLine`
  // (the text after the program's own name) and posts the quit request on
  // every path before it returns.
  void Run(const char* commandLine);
};

// The process entry's work between WinMain and its return: prepares the
// process, runs the driver once on the process's command line after the
// program's name, drains the message loop and tears down.
// Returns the exit code, 0 on every path.
int RunInstaller(void* moduleInstance);
