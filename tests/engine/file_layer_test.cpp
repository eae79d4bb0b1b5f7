// The native file layer and links: no operation below the root follows a
// symbolic link, whether the link is the entry named or a folder on the
// way to it, and nothing outside the root is touched. Then the same
// through `olkpack apply`, with the links planted in a client folder.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "olkeng/file_layer.h"
#include "retry.h"

namespace {

using olk::EntryType;
using olk::IoStatus;
using olktest::kDir;
using olktest::Tree;

void Link(const std::string& target, const std::string& at) {
  ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at;
}

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A client folder with links planted in it, and a folder outside it that
// the links point into; made afresh for each case.
struct Planted {
  Planted() {
    root = tmp.Sub("client");
    outside = tmp.Sub("outside");
    olktest::WriteTree(outside, Outside());
    olktest::WriteTree(root, {{"file.txt", "mine"}, {"dir", kDir}, {"dir\\inner.txt", "in"}, {"empty", kDir}});
    Link(outside, root + "/ldir");                  // a folder elsewhere
    Link(outside + "/secret.txt", root + "/lfile"); // a file elsewhere
    Link(outside + "/planted.txt", root + "/lnew"); // a file that does not exist yet
    Link(outside, root + "/dir/ldeep");             // one level down
    fs = olk::NewNativeFileSystem(root);
  }

  static Tree Outside() {
    return {{"secret.txt", "keep me"}, {"sub", kDir}, {"sub\\deep.txt", "me too"}, {"empty", kDir}};
  }

  olktest::TempDir tmp;
  std::string root, outside;
  std::unique_ptr<olk::FileSystem> fs;
};

class FileLayerLinks : public ::testing::Test {
 protected:
  Planted p_;
  const std::string& root_ = p_.root;
  const std::string& outside_ = p_.outside;
  std::unique_ptr<olk::FileSystem>& fs_ = p_.fs;
  olktest::TempDir& tmp_ = p_.tmp;
  static Tree Outside() { return Planted::Outside(); }
};

TEST_F(FileLayerLinks, NoOperationFollowsALink) {
  typedef std::function<IoStatus(olk::FileSystem&)> Op;
  auto stat_status = [](const char* p) {
    return Op([p](olk::FileSystem& fs) {
      olk::EntryInfo info;
      return fs.Stat(p, &info);
    });
  };
  auto open_read = [](const char* p) {
    return Op([p](olk::FileSystem& fs) {
      std::unique_ptr<olk::File> f;
      return fs.OpenRead(p, &f);
    });
  };
  auto create = [](const char* p) {
    return Op([p](olk::FileSystem& fs) {
      std::unique_ptr<olk::File> f;
      IoStatus s = fs.CreateNew(p, &f);
      if (f) f->Write("x", 1);
      return s;
    });
  };
  auto rename = [](const char* from, const char* to) {
    return Op([from, to](olk::FileSystem& fs) { return fs.Rename(from, to); });
  };
  auto link_file = [](const char* from, const char* to) {
    return Op([from, to](olk::FileSystem& fs) { return fs.LinkFile(from, to); });
  };
  auto remove_file = [](const char* p) { return Op([p](olk::FileSystem& fs) { return fs.RemoveFile(p); }); };
  auto make_dir = [](const char* p) { return Op([p](olk::FileSystem& fs) { return fs.MakeDir(p); }); };
  auto remove_dir = [](const char* p) { return Op([p](olk::FileSystem& fs) { return fs.RemoveDir(p); }); };
  auto list = [](const char* p) {
    return Op([p](olk::FileSystem& fs) {
      std::vector<olk::DirEntry> entries;
      return fs.List(p, &entries);
    });
  };
  auto sync_dir = [](const char* p) { return Op([p](olk::FileSystem& fs) { return fs.SyncDir(p); }); };

  const struct {
    const char* name;
    Op op;
  } cases[] = {
      // The link is the entry named.
      {"open a link to a file", open_read("lfile")},
      {"open a link to a folder", open_read("ldir")},
      {"create over a link", create("lfile")},
      {"create over a dangling link", create("lnew")},
      {"rename a link", rename("lfile", "moved")},
      {"rename onto a link", rename("file.txt", "lfile")},
      {"rename onto a dangling link", rename("file.txt", "lnew")},
      {"second name of a link", link_file("lfile", "second")},
      {"second name onto a dangling link", link_file("file.txt", "lnew")},
      {"remove a link as a file", remove_file("lfile")},
      {"make a folder over a link", make_dir("ldir")},
      {"remove a link as a folder", remove_dir("ldir")},
      {"list a link", list("ldir")},
      {"sync a link", sync_dir("ldir")},
      // The link is a folder on the way, at the top or one level down.
      {"stat through a link", stat_status("ldir\\secret.txt")},
      {"open through a link", open_read("ldir\\secret.txt")},
      {"open two links down", open_read("dir\\ldeep\\sub\\deep.txt")},
      {"create through a link", create("ldir\\planted.txt")},
      {"create through a deeper link", create("dir\\ldeep\\planted.txt")},
      {"rename out through a link", rename("ldir\\secret.txt", "moved")},
      {"rename in through a link", rename("file.txt", "dir\\ldeep\\moved")},
      {"second name of a file through a link", link_file("ldir\\secret.txt", "second")},
      {"second name through a deeper link", link_file("file.txt", "dir\\ldeep\\second")},
      {"remove a file through a link", remove_file("ldir\\secret.txt")},
      {"remove a file through a deeper link", remove_file("dir\\ldeep\\sub\\deep.txt")},
      {"make a folder through a link", make_dir("ldir\\made")},
      {"remove a folder through a link", remove_dir("ldir\\empty")},
      {"list through a link", list("ldir\\sub")},
      {"sync through a link", sync_dir("dir\\ldeep\\sub")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Planted p;
    const Tree root_before = olktest::ReadTree(p.root);
    EXPECT_EQ(c.op(*p.fs), IoStatus::kLink);
    EXPECT_EQ(olktest::ReadTree(p.outside), Planted::Outside());
    EXPECT_EQ(olktest::ReadTree(p.root), root_before);
    for (const char* l : {"ldir", "lfile", "lnew", "dir/ldeep"}) EXPECT_TRUE(IsLink(p.root + "/" + l)) << l;
  }
}

TEST_F(FileLayerLinks, StatAndListShowLinksUnfollowed) {
  const struct {
    const char* path;
    EntryType type;
  } cases[] = {{"ldir", EntryType::kLink}, {"lfile", EntryType::kLink}, {"lnew", EntryType::kLink},
               {"dir\\ldeep", EntryType::kLink}, {"dir", EntryType::kDirectory}, {"file.txt", EntryType::kFile},
               {"missing", EntryType::kNone}, {"dir\\missing\\x", EntryType::kNone},
               {"file.txt\\x", EntryType::kNone}};
  for (const auto& c : cases) {
    olk::EntryInfo info;
    EXPECT_EQ(fs_->Stat(c.path, &info), IoStatus::kOk) << c.path;
    EXPECT_EQ(info.type, c.type) << c.path;
  }

  std::vector<olk::DirEntry> entries;
  ASSERT_EQ(fs_->List("", &entries), IoStatus::kOk);
  std::sort(entries.begin(), entries.end(), [](const olk::DirEntry& a, const olk::DirEntry& b) { return a.name < b.name; });
  std::vector<std::pair<std::string, EntryType>> got;
  for (const auto& e : entries) got.emplace_back(e.name, e.type);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, EntryType>>{{"dir", EntryType::kDirectory},
                                                                  {"empty", EntryType::kDirectory},
                                                                  {"file.txt", EntryType::kFile},
                                                                  {"ldir", EntryType::kLink},
                                                                  {"lfile", EntryType::kLink},
                                                                  {"lnew", EntryType::kLink}}));
}

// Names the system would split further are refused rather than walked.
TEST_F(FileLayerLinks, ComponentsTheLayerDoesNotWalkAreRefused) {
  for (const char* p : {"ldir/secret.txt", "dir\\..\\ldir\\secret.txt", "..\\outside\\secret.txt", "dir\\\\inner.txt"}) {
    std::unique_ptr<olk::File> f;
    EXPECT_EQ(fs_->OpenRead(p, &f), IoStatus::kBadName) << p;
    EXPECT_EQ(fs_->RemoveFile(p), IoStatus::kBadName) << p;
  }
  EXPECT_EQ(olktest::ReadTree(outside_), Outside());
}

// A player may have moved the whole client and left a link in its place.
TEST_F(FileLayerLinks, TheRootItselfMayBeALink) {
  const std::string moved = tmp_.Sub("root-link");
  Link(root_, moved);
  auto fs = olk::NewNativeFileSystem(moved + "/");
  olk::EntryInfo info;
  ASSERT_EQ(fs->Stat("", &info), IoStatus::kOk);
  EXPECT_EQ(info.type, EntryType::kDirectory);
  std::unique_ptr<olk::File> f;
  ASSERT_EQ(fs->CreateNew("dir\\new.txt", &f), IoStatus::kOk);
  ASSERT_EQ(f->Write("new", 3), IoStatus::kOk);
  ASSERT_EQ(f->Close(), IoStatus::kOk);
  EXPECT_EQ(fs->Rename("dir\\new.txt", "empty\\new.txt"), IoStatus::kOk);
  EXPECT_EQ(fs->Rename("file.txt", "empty\\new.txt"), IoStatus::kExists);
  EXPECT_EQ(fs->RemoveFile("file.txt"), IoStatus::kOk);
  EXPECT_EQ(fs->MakeDir("made"), IoStatus::kOk);
  EXPECT_EQ(fs->LinkFile("empty\\new.txt", "made\\second.txt"), IoStatus::kOk);
  EXPECT_EQ(fs->LinkFile("empty\\new.txt", "made\\second.txt"), IoStatus::kExists);
  EXPECT_EQ(fs->LinkFile("made", "made2"), IoStatus::kIsDirectory);
  EXPECT_EQ(fs->RemoveFile("made\\second.txt"), IoStatus::kOk);
  EXPECT_EQ(fs->SyncDir(""), IoStatus::kOk);
  EXPECT_EQ(fs->SyncDir("empty"), IoStatus::kOk);
  std::vector<olk::DirEntry> entries;
  EXPECT_EQ(fs->List("empty", &entries), IoStatus::kOk);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "new.txt");
  EXPECT_EQ(entries[0].size, 3u);
  olk::VolumeInfo volume;
  EXPECT_EQ(fs->DescribeVolume(&volume), IoStatus::kOk);
  uint64_t free_bytes = 0;
  EXPECT_EQ(fs->FreeSpace(&free_bytes), IoStatus::kOk);
  EXPECT_GT(free_bytes, 0u);
  EXPECT_EQ(olktest::ReadTree(outside_), Outside());
  EXPECT_EQ(olktest::ReadTree(root_ + "/empty"), (Tree{{"new.txt", "new"}}));

  // A root that does not exist yet is not an error until it is used.
  auto missing = olk::NewNativeFileSystem(tmp_.Sub("nowhere"));
  ASSERT_EQ(missing->Stat("", &info), IoStatus::kOk);
  EXPECT_EQ(info.type, EntryType::kNone);
  EXPECT_EQ(missing->RemoveFile("x"), IoStatus::kNotFound);
}

// The layer remembers folders it walked through; a folder it moves or
// removes must not be found there again.
TEST_F(FileLayerLinks, FoldersMovedByTheLayerAreWalkedAfresh) {
  auto write = [&](const char* path, const char* text) {
    std::unique_ptr<olk::File> f;
    IoStatus s = fs_->CreateNew(path, &f);
    if (s == IoStatus::kOk) s = f->Write(text, strlen(text));
    if (s == IoStatus::kOk) s = f->Close();
    return s;
  };
  ASSERT_EQ(fs_->MakeDir("dir\\a"), IoStatus::kOk);
  ASSERT_EQ(write("dir\\a\\one.txt", "1"), IoStatus::kOk);
  ASSERT_EQ(fs_->Rename("dir", "moved"), IoStatus::kOk);  // the folder, with "a" in it
  ASSERT_EQ(fs_->MakeDir("dir"), IoStatus::kOk);
  ASSERT_EQ(fs_->MakeDir("dir\\a"), IoStatus::kOk);
  ASSERT_EQ(write("dir\\a\\two.txt", "2"), IoStatus::kOk);
  ASSERT_EQ(fs_->RemoveFile("moved\\a\\one.txt"), IoStatus::kOk);
  ASSERT_EQ(fs_->RemoveDir("moved\\a"), IoStatus::kOk);
  ASSERT_EQ(fs_->MakeDir("moved\\a"), IoStatus::kOk);
  ASSERT_EQ(write("moved\\a\\three.txt", "3"), IoStatus::kOk);
  olk::EntryInfo info;
  EXPECT_EQ(fs_->Stat("dir\\a\\one.txt", &info), IoStatus::kOk);
  EXPECT_EQ(info.type, EntryType::kNone);
  const Tree after = olktest::ReadTree(root_);
  EXPECT_EQ(after.at("dir\\a\\two.txt"), "2");
  EXPECT_EQ(after.at("moved\\a\\three.txt"), "3");
  EXPECT_EQ(after.count("moved\\a\\two.txt"), 0u);
  EXPECT_EQ(after.count("dir\\a\\three.txt"), 0u);
}

// A pipe planted in the client must not hang the engine.
TEST_F(FileLayerLinks, OpeningAPipeDoesNotBlock) {
  ASSERT_EQ(mkfifo((root_ + "/pipe").c_str(), 0644), 0);
  std::unique_ptr<olk::File> f;
  EXPECT_EQ(fs_->OpenRead("pipe", &f), IoStatus::kIoError);
  olk::EntryInfo info;
  EXPECT_EQ(fs_->Stat("pipe", &info), IoStatus::kOk);
  EXPECT_EQ(info.type, EntryType::kOther);
}

// ----- the same, through `olkpack apply` -----

std::string Quote(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs olkpack; its standard error goes to `*err` when given.
int Olkpack(const std::vector<std::string>& args, std::string* err = nullptr) {
  std::string command = Quote(OLKPACK_PATH);
  for (const std::string& a : args) command += " " + Quote(a);
  char err_path[] = "/tmp/olkpack-err-XXXXXX";
  const int fd = mkstemp(err_path);
  close(fd);
  command += " >/dev/null 2>" + Quote(err_path);
  int raw = std::system(command.c_str());
  if (err) {
    std::ifstream in(err_path);
    err->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  unlink(err_path);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(ApplyWithLinks, NothingOutsideTheClientIsTouched) {
  const Tree old_build = {{"game.exe", std::string(400, 'g')},
                          {"data", kDir},
                          {"data\\a.pak", std::string(300, 'a')},
                          {"data\\gone.pak", "gone"},
                          {"docs", kDir},
                          {"docs\\readme.txt", "hello"}};
  Tree new_build = old_build;
  new_build["data\\a.pak"] = std::string(200, 'a') + std::string(150, 'b');
  new_build.erase("data\\gone.pak");
  new_build["data\\new.pak"] = "new";
  new_build["game.exe"] = std::string(400, 'h');

  const struct {
    const char* name;
    const char* link;    // replaced by a link to the other folder
    Tree other;          // what the other folder holds
    bool patch_touches;  // whether the patch must write below the link
  } cases[] = {
      {"staging folder is a link", ".olkpatch", {{"precious.doc", "one"}, {"sub", kDir}, {"sub\\x.doc", "two"}}, true},
      {"client folder is a link",
       "data",
       {{"a.pak", old_build.at("data\\a.pak")}, {"gone.pak", "gone"}},
       true},
      {"untouched folder is a link", "docs", {{"readme.txt", "hello"}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    olktest::TempDir tmp;
    olktest::WriteTree(tmp.Sub("old"), old_build);
    olktest::WriteTree(tmp.Sub("new"), new_build);
    ASSERT_EQ(Olkpack({"diff", tmp.Sub("old"), tmp.Sub("new"), "-o", tmp.Sub("p.pat"), "--quiet"}), 0);

    const std::string client = tmp.Sub("client"), other = tmp.Sub("other");
    Tree installed = old_build;
    for (auto it = installed.begin(); it != installed.end();) {
      const std::string& p = it->first;
      it = p == c.link || p.compare(0, strlen(c.link) + 1, std::string(c.link) + "\\") == 0 ? installed.erase(it)
                                                                                              : std::next(it);
    }
    olktest::WriteTree(client, installed);
    olktest::WriteTree(other, c.other);
    Link(other, client + "/" + c.link);

    std::string err;
    const int status = Olkpack({"apply", client, tmp.Sub("p.pat"), "--no-sync"}, &err);
    EXPECT_EQ(olktest::ReadTree(other), c.other);
    EXPECT_TRUE(IsLink(client + "/" + c.link));
    if (c.patch_touches) {
      // Stopped before anything changed, with a line that names the link.
      EXPECT_EQ(status, 18) << err;
      EXPECT_NE(err.find(std::string(c.link) + " in the client's folder is a link"), std::string::npos) << err;
      Tree after = olktest::ReadTree(client);
      after.erase(c.link);
      EXPECT_EQ(after, installed);
    } else {
      EXPECT_EQ(status, 0);
      Tree after = olktest::ReadTree(client), expected = new_build;
      after.erase(c.link);
      for (const auto& e : olktest::ReadTree(other)) expected.erase(std::string(c.link) + "\\" + e.first);
      expected.erase(c.link);
      EXPECT_EQ(after, expected);
    }
  }
}

// ----- another program holding a file for a moment -----

// A file held by another program until `held_ms` on a fake clock that the
// pauses advance; the operation fails with `while_held` until then.
TEST(LockRetry, WaitsAboutTwoSecondsForAFileToBeLetGo) {
  const struct {
    const char* name;
    uint32_t held_ms;
    IoStatus while_held, after;
    IoStatus expected;
    int attempts;  // -1: not checked
  } cases[] = {
      {"free at once", 0, IoStatus::kInUse, IoStatus::kOk, IoStatus::kOk, 1},
      {"scanner for 0.3 s", 300, IoStatus::kInUse, IoStatus::kOk, IoStatus::kOk, -1},
      {"indexer for 1.5 s, access denied", 1500, IoStatus::kAccessDenied, IoStatus::kOk, IoStatus::kOk, -1},
      {"running client", 60000, IoStatus::kInUse, IoStatus::kOk, IoStatus::kInUse, 10},
      {"denied for good", 60000, IoStatus::kAccessDenied, IoStatus::kOk, IoStatus::kInUse, 10},
      {"gone once let go", 100, IoStatus::kInUse, IoStatus::kNotFound, IoStatus::kNotFound, -1},
      {"other errors at once", 60000, IoStatus::kDiskFull, IoStatus::kOk, IoStatus::kDiskFull, 1},
      {"links at once", 60000, IoStatus::kLink, IoStatus::kOk, IoStatus::kLink, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t now = 0;
    int attempts = 0;
    IoStatus s = olk::RetryWhileLocked(
        [&] {
          ++attempts;
          return now < c.held_ms ? c.while_held : c.after;
        },
        [&](uint32_t ms) { now += ms; });
    EXPECT_EQ(s, c.expected);
    if (c.attempts >= 0) {
      EXPECT_EQ(attempts, c.attempts);
    }
    if (c.expected == IoStatus::kOk || c.after == IoStatus::kNotFound) {
      EXPECT_GE(now, c.held_ms);
      EXPECT_LE(now, c.held_ms * 2 + 20);  // let go soon after it was free
    }
    if (c.expected == IoStatus::kInUse) {
      EXPECT_GE(now, 1500u);  // about two seconds, not more
      EXPECT_LE(now, 2500u);
    }
  }
}

}  // namespace
