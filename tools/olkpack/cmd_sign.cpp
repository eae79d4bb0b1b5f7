// olkpack sign FILE.exe --cert CERT.pfx [--password-file FILE]
//              [--timestamp-url URL] [-o OUT.exe]
// Signs an existing program with Authenticode: in place, or into OUT.exe.
// A signature already there is replaced.
#include <string>

#include "authenticode.h"
#include "command_line.h"
#include "commands.h"
#include "diagnostics.h"

int RunSign(int argc, char** argv) {
  CommandLine cli("sign");
  std::string input, output;
  SigningKey key;
  CLI::App& app = cli.app();
  app.add_option("FILE.exe", input, "the program to sign")->required();
  app.add_option("--cert", key.certificate, "the PKCS#12 file with the key and its certificates")
      ->required()
      ->type_name("CERT.pfx");
  app.add_option("--password-file", key.passwordFile, "the first line of FILE is the password of CERT.pfx")
      ->type_name("FILE");
  app.add_option("--timestamp-url", key.timestampUrl, "have the signature time-stamped by this RFC 3161 server")
      ->type_name("URL");
  app.add_option("-o,--output", output, "write the signed program here instead of replacing FILE.exe")
      ->type_name("OUT.exe");
  if (int status = cli.Parse(argc, argv); status >= 0) return status;

  std::string file, cause;
  if (!CheckSigningKey(key, file, cause)) return Fail(file, cause);
  if (!SignProgram(key, input, output.empty() ? input : output, cause)) return Fail(input, cause);
  return 0;
}
