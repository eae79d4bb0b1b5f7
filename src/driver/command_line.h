// The installer's command line: what follows the program's own name.
#pragma once

// The text of `commandLine` (the process's whole command line) behind the
// program's name and the blanks after it. A name that begins with a double
// quote runs up to and including the closing quote, so a switch may follow
// it at once ("C:\dl\olkpatch.exe"/path=X); any other name runs up to the
// first character of code 32 or less. Points into `commandLine`.
const char* SkipProgramName(const char* commandLine);
