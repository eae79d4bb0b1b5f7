// Authenticode signing of finished programs, by Debian's osslsigncode.
//
// A signed installer must still find its archive: the reader looks for the
// trailer before the certificate table that signing appends, and every
// signature made here is read back to check that it does.
#pragma once

#include <string>

struct SigningKey {
  std::string certificate;   // a PKCS#12 file (.pfx) with the key and its chain
  std::string passwordFile;  // its password on the first line; empty: none
  std::string timestampUrl;  // an RFC 3161 time-stamp server; empty: none
};

/*! CheckSigningKey() :
 *  Checks what can be checked before any work: the files can be read and
 *  the URL is an http or https one.
 *  @return : true, or false with `file` and `cause` naming the problem. */
bool CheckSigningKey(const SigningKey& key, std::string& file, std::string& cause);

/*! SignProgram() :
 *  Signs `input` with `key` into `target`, which appears whole or not at
 *  all (replacing what was there; `input` and `target` may be the same
 *  file). When `input` carries an archive, the signed file must read back
 *  with the same directory.
 *  @return : true, or false with `cause` set to one line. */
bool SignProgram(const SigningKey& key, const std::string& input, const std::string& target,
                 std::string& cause);
