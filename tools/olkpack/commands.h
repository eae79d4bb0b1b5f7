// olkpack's subcommands. Each takes the arguments after its own name and
// returns the process exit status: 0, or 1 after one line on stderr.
#pragma once

int RunPack(int argc, char** argv);
int RunList(int argc, char** argv);
int RunExtract(int argc, char** argv);

/*! Usage() :
 *  Prints the usage line of `command` to stderr.
 *  @return : 1, the exit status of a usage error. */
int Usage(const char* command);
