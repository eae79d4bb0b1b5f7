// Reading the installer's command-line switches (/path, /sleep,
// /start_client, /patches).
#pragma once

#include <stddef.h>

// Capacity of a switch value, a patch id and the rest of a patch list.
constexpr size_t kSwitchValueCapacity = 260;

// Whether `name` occurs in `commandLine` (as a plain, case-sensitive
// substring, anywhere). With a `value` buffer of kSwitchValueCapacity bytes,
// also copies the switch's value: it starts one character after the name
// (that character, normally '=', is skipped whatever it is); a value in double
// quotes runs to the closing quote, any other to the next blank.
// A value that does not fit the buffer is never cut: the switch is then not
// taken (false), so a cut folder or patch id is never used, and a debug
// output line names the switch.
bool FindSwitch(const char* commandLine, const char* name, char* value);

// Splits "3552+3553+3554" at its first plus sign: `first` gets "3552" and
// `rest` "3553+3554", result 2. Without a plus sign `first` gets the whole
// list, `rest` is left untouched, result 1. Both buffers hold
// kSwitchValueCapacity bytes, as does the list, so neither part can overflow.
int SplitPatchList(const char* list, char* first, char* rest);
