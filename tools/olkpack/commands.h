// olkpack's archive subcommands. Each takes the arguments after its own
// name and returns the process exit status: 0, or 1 after one line on
// stderr.
#pragma once

int RunPack(int argc, char** argv);
int RunList(int argc, char** argv);
int RunExtract(int argc, char** argv);

/*! RunSign() :
 *  olkpack sign FILE.exe --cert CERT.pfx [--password-file FILE]
 *               [--timestamp-url URL] [-o OUT.exe]
 *  Signs FILE.exe with Authenticode (in place unless -o names another
 *  file); an archive it carries must read back the same. */
int RunSign(int argc, char** argv);
