// Signed installers: olkpack signs with osslsigncode, and the archive
// reader finds the trailer in front of the certificate table that signing
// appends. The key is a throwaway one made with openssl for each test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "olkpack_fixture.h"

using namespace olkpack_test;
namespace fs = std::filesystem;

namespace {

class SignedInstallerTest : public OlkpackTest {
 protected:
  void SetUp() override {
    OlkpackTest::SetUp();
    WriteFile("key/password.txt", "correct horse\n");
    Result cert = RunProgram("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key/key.pem",
                                         "-out", "key/cert.pem", "-days", "2", "-subj", "/CN=olkpack test signer"});
    ASSERT_EQ(cert.status, 0) << cert.err;
    Result pfx = RunProgram("openssl", {"pkcs12", "-export", "-out", "key/cert.pfx", "-inkey", "key/key.pem", "-in",
                                        "key/cert.pem", "-passout", "file:key/password.txt"});
    ASSERT_EQ(pfx.status, 0) << pfx.err;
    // A stub that is a real PE program, as osslsigncode signs only those.
    ASSERT_TRUE(fs::exists(STUB_PATH)) << STUB_PATH << " is missing: build the Windows side first";
    fs::copy_file(STUB_PATH, root() / "stub.exe");
    WriteFile("engine.dll", "MZ" + Bytes(5000, 5));
    WriteFile("old/vorn.dll", "MZ" + Bytes(70000, 6));
    WriteFile("new/vorn.dll", "MZ" + Bytes(70000, 6) + "more");
  }

  Result Installer(const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> args = {"installer", "--from", "3550", "--to", "3551", "old", "new",
                                     "--stub", "stub.exe", "--engine", "engine.dll", "-o", out, "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  }

  Result Verify(const std::string& file) {
    return RunProgram("osslsigncode", {"verify", "-CAfile", "key/cert.pem", "-in", file});
  }

  // What olkpack list shows, and each member's bytes.
  std::string Members(const std::string& file) {
    Result list = Run({"list", file});
    EXPECT_EQ(list.status, 0) << list.err;
    std::string all = list.out;
    for (const char* name : {"versionInfoFile.txt", "patcheng.dll", "OLK.3550-3551.pat"}) {
      EXPECT_EQ(Run({"extract", file, name, "-o", "member.bin"}).status, 0) << file << " " << name;
      all += "\n" + ReadFile("member.bin");
    }
    return all;
  }
};

TEST_F(SignedInstallerTest, SignedInstallerVerifiesAndKeepsItsArchive) {
  ASSERT_EQ(Installer("plain.exe", {}).status, 0);
  Result made = Installer("signed.exe", {"--sign", "key/cert.pfx", "--sign-password-file", "key/password.txt"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_NE(made.out.find("2\tOLK.3550-3551.pat\t"), std::string::npos) << made.out;

  Result verify = Verify("signed.exe");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_EQ(Verify("plain.exe").status == 0, false);
  EXPECT_GT(fs::file_size(root() / "signed.exe"), fs::file_size(root() / "plain.exe"));
  // The same members at the same offsets, whatever the signature added.
  EXPECT_EQ(Members("signed.exe"), Members("plain.exe"));

  // olkpack sign: in place, into another file, and again over a signature.
  fs::copy_file(root() / "plain.exe", root() / "later.exe");
  const std::vector<std::string> key = {"--cert", "key/cert.pfx", "--password-file", "key/password.txt"};
  auto sign = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "sign");
    args.insert(args.end(), key.begin(), key.end());
    return Run(args);
  };
  Result inPlace = sign({"later.exe"});
  ASSERT_EQ(inPlace.status, 0) << inPlace.err;
  EXPECT_EQ(inPlace.out + inPlace.err, "");
  EXPECT_EQ(Verify("later.exe").status, 0);
  EXPECT_EQ(Members("later.exe"), Members("plain.exe"));
  ASSERT_EQ(sign({"later.exe", "-o", "again.exe"}).status, 0);
  EXPECT_EQ(Verify("again.exe").status, 0);
  EXPECT_EQ(Members("again.exe"), Members("plain.exe"));
  // No scratch folder is left beside the outputs.
  for (const auto& e : fs::directory_iterator(root()))
    EXPECT_EQ(e.path().filename().string().rfind(".olkpack-", 0), std::string::npos) << e.path();
}

// --timestamp-url: the signature carries a stamp from a local RFC 3161
// server (tests/unit/olkpack/local_tsa.py), which osslsigncode verifies.
TEST_F(SignedInstallerTest, TimeStampedSignature) {
  fs::create_directory(root() / "tsa");
  ASSERT_EQ(std::system(("python3 " + Quote(TSA_SCRIPT) + " tsa >tsa/port.txt 2>tsa/err.txt &").c_str()), 0);
  std::string port;
  for (int i = 0; i < 200 && port.empty(); ++i) {
    usleep(50000);
    port = ReadFile("tsa/port.txt");
  }
  ASSERT_FALSE(port.empty()) << ReadFile("tsa/err.txt");
  port.erase(port.find('\n'));
  Result made = Installer("stamped.exe", {"--sign", "key/cert.pfx", "--sign-password-file", "key/password.txt",
                                          "--timestamp-url", "http://127.0.0.1:" + port + "/"});
  ASSERT_EQ(made.status, 0) << made.err;
  Result verify = RunProgram("osslsigncode", {"verify", "-CAfile", "key/cert.pem", "-TSA-CAfile", "tsa/tsa.pem",
                                              "-in", "stamped.exe"});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_NE(verify.out.find("Timestamp Server Signature verification: ok"), std::string::npos) << verify.out;
  EXPECT_EQ(Run({"list", "stamped.exe"}).status, 0);
}

// Every mistake: one line naming the file and the cause, exit status 1, and
// neither an output nor a scratch folder left behind.
TEST_F(SignedInstallerTest, RefusesBadSigningInputWithOneLineAndNoOutput) {
  ASSERT_EQ(Installer("plain.exe", {}).status, 0);
  WriteFile("wrong.txt", "not the password\n");
  WriteFile("junk.pfx", "not a PKCS#12 file");
  WriteFile("text.exe", "not a program");
  const std::vector<std::string> pw = {"--sign-password-file", "key/password.txt"};
  struct Case {
    std::vector<std::string> args;  // for the installer, or a whole command when it starts with "sign"
    std::string line_start;
    std::string cause;
  };
  const std::vector<Case> cases = {
      {{"--sign", "missing.pfx"}, "olkpack: missing.pfx: ", "cannot be read: No such file"},
      {{"--sign", "key/cert.pfx", "--sign-password-file", "gone.txt"}, "olkpack: gone.txt: ", "cannot be read"},
      {{"--sign", "key/cert.pfx", "--sign-password-file", "wrong.txt"}, "olkpack: out.exe: ",
       "osslsigncode failed: Failed to parse PKCS#12 file"},
      {{"--sign", "junk.pfx"}, "olkpack: out.exe: ", "osslsigncode failed:"},
      {{"--sign", "key/cert.pfx", "--timestamp-url", "ftp://example.invalid/"}, "olkpack: ftp://example.invalid/: ",
       "not an http:// or https:// URL"},
      // Nothing listens on the discard port of this machine.
      {{"--sign", "key/cert.pfx", "--sign-password-file", "key/password.txt", "--timestamp-url",
        "http://127.0.0.1:9/"},
       "olkpack: out.exe: ", "osslsigncode failed"},
      {{"--sign-password-file", "key/password.txt"}, "olkpack installer: ", "--sign-password-file requires --sign"},
      {{"sign", "text.exe", "--cert", "key/cert.pfx", "--password-file", "key/password.txt", "-o", "out.exe"},
       "olkpack: text.exe: ", "osslsigncode failed"},
      {{"sign", "none.exe", "--cert", "key/cert.pfx", "-o", "out.exe"}, "olkpack: none.exe: ", "cannot be read"},
      {{"sign", "plain.exe", "-o", "out.exe"}, "olkpack sign: ", "--cert is required"},
  };
  const std::string plain = ReadFile("plain.exe");
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& a : c.args) what += a + " ";
    Result r = c.args[0] == "sign" ? Run(c.args) : Installer("out.exe", c.args);
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(r.err.rfind(c.line_start, 0), 0u) << what << "\n" << r.err;
    EXPECT_NE(r.err.find(c.cause), std::string::npos) << what << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << "\n" << r.err;
    EXPECT_FALSE(fs::exists(root() / "out.exe")) << what;
    for (const auto& e : fs::directory_iterator(root()))
      EXPECT_EQ(e.path().filename().string().rfind(".olkpack-", 0), std::string::npos) << what << e.path();
  }
  EXPECT_EQ(ReadFile("plain.exe"), plain);
}

// Where the reader looks for the trailer, on hand-made PE files: before a
// certificate table that ends the file and up to 7 bytes of zero padding;
// anywhere else the file reads as an unsigned one does, and a PE field that
// does not fit the file is never followed.
TEST_F(SignedInstallerTest, FindsTheTrailerOnlyBeforeATrailingCertificateTable) {
  // DOS header, "PE\0\0", a COFF header and a PE32 optional header with 16
  // data directories; directory 4 (the certificate table) is filled in below.
  constexpr size_t kPe = 64, kOptional = kPe + 24, kCertEntry = kOptional + 96 + 32;
  auto headers = [&] {
    archive_image::Bytes b;
    b.Raw("MZ").PadTo(0x3C).U32(kPe).PadTo(kPe).Raw(std::string("PE\0\0", 4));
    b.Raw(std::string("\x4c\x01\x00\x00", 4)).PadTo(kPe + 20).Raw(std::string("\xe0\x00\x02\x01", 4));
    b.Raw(std::string("\x0b\x01", 2)).PadTo(kOptional + 92).U32(16).PadTo(kOptional + 224);
    return b.str();
  };
  auto put32 = [](std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
  };
  const std::string image = headers();
  const std::string archived = archive_image::Program(image, 512, {{"versionInfoFile.txt", "3550\r\n3551\r\n"}});
  const std::string table = std::string("\x10\x00\x00\x00\x00\x02\x02\x00", 8) + Bytes(56, 9);
  // The archived image, `padding` zero bytes and the table, which
  // directory 4 names.
  auto signedWith = [&](size_t padding) {
    std::string s = archived + std::string(padding, '\0');
    put32(s, kCertEntry, static_cast<uint32_t>(s.size()));
    put32(s, kCertEntry + 4, static_cast<uint32_t>(table.size()));
    return s + table;
  };
  const std::string listing = "directory at 512, 1 members\n0\tversionInfoFile.txt\t12\t544\n";
  for (size_t padding = 0; padding <= 7; ++padding) {
    WriteFile("p.exe", signedWith(padding));
    Result r = Run({"list", "p.exe"});
    EXPECT_EQ(r.status, 0) << padding << r.err;
    EXPECT_EQ(r.out, listing) << padding;
  }

  const std::string good = signedWith(4);
  auto edited = [&](size_t at, uint32_t v) {
    std::string s = good;
    put32(s, at, v);
    return s;
  };
  std::string nonZeroPadding = good;
  nonZeroPadding[archived.size() + 1] = 'x';
  const struct {
    const char* what;
    std::string bytes;
  } unsignedLike[] = {
      {"padding that is not zero", nonZeroPadding},
      {"eight bytes of padding", signedWith(8)},
      {"a table that stops short of the end", good + "tail"},
      {"a table that runs past the end", edited(kCertEntry + 4, table.size() + 1)},
      {"no table size", edited(kCertEntry + 4, 0)},
      {"a PE header past the end", edited(0x3C, 0x7FFFFFF0)},
      {"a PE header at the end", edited(0x3C, static_cast<uint32_t>(good.size() - 2))},
      {"no PE signature", edited(kPe, 0x00004550 + 1)},
      {"four data directories", edited(kOptional + 92, 4)},
      {"an optional header too small for directory 4", edited(kPe + 20, 0x01020080)},
      {"no optional header magic", edited(kOptional, 0x0107)},
  };
  for (const auto& c : unsignedLike) {
    WriteFile("p.exe", c.bytes);
    Result r = Run({"list", "p.exe"});
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_NE(r.err.find("no EmbedFs archive"), std::string::npos) << c.what << ": " << r.err;
  }

  // The error line says where the reader looked.
  WriteFile("p.exe", signedWith(8));
  EXPECT_EQ(Run({"list", "p.exe"}).err,
            "olkpack: p.exe: no EmbedFs archive: the file is signed, and its part before the signature does not "
            "end in the \"EmbedFs 1.0\" trailer\n");

  // A signed stub packed afterwards: its table no longer ends the file, and
  // the archive at the end reads as it always did.
  WriteFile("signedstub.exe", good);
  ASSERT_EQ(Run({"pack", "--stub", "signedstub.exe", "-o", "packed.exe", "key/password.txt"}).status, 1);
  std::string stub = image;
  put32(stub, kCertEntry, static_cast<uint32_t>(stub.size()));
  put32(stub, kCertEntry + 4, static_cast<uint32_t>(table.size()));
  WriteFile("signedstub.exe", stub + table);
  Result packed = Run({"pack", "--stub", "signedstub.exe", "-o", "packed.exe", "key/password.txt"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  Result list = Run({"list", "packed.exe"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "directory at 65536, 1 members");
}

}  // namespace
