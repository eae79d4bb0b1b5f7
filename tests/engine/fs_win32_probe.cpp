/*
 * fs_win32_probe.exe: the Win32 file layer under Wine, on a folder the
 * test script prepared.
 *   fs_win32_probe.exe ROOT
 * ROOT holds "ldir", a Unix link to a folder outside it (Wine shows it as a
 * reparse point), and nothing else. Prints "PASS name" or "FAIL name: ..."
 * per check; the exit code is the number of failures.
 *
 * Checks: the link is reported and never followed; a rename or delete of a
 * file that another handle holds for 0.3 s succeeds once it is let go,
 * and one held for longer gives kInUse after about two seconds.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "olkeng/file_layer.h"

namespace {

int failures = 0;

void Check(const char* name, bool ok, const std::string& detail = std::string()) {
  if (ok) {
    std::printf("PASS %s\n", name);
  } else {
    std::printf("FAIL %s: %s\n", name, detail.c_str());
    ++failures;
  }
}

void CheckStatus(const char* name, olk::IoStatus got, olk::IoStatus want) {
  Check(name, got == want, std::string("got '") + olk::IoStatusName(got) + "', want '" + olk::IoStatusName(want) + "'");
}

std::wstring Widen(const char* s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  std::wstring w(n > 0 ? n : 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s, -1, &w[0], n);
  w.resize(w.size() - 1);
  return w;
}

struct Hold {
  HANDLE file;
  DWORD ms;
};

DWORD WINAPI LetGoLater(void* arg) {
  Hold* h = static_cast<Hold*>(arg);
  Sleep(h->ms);
  CloseHandle(h->file);
  return 0;
}

/* Holds `path` open for reading, shared for reading only (as a scanner
 * does), for `ms` milliseconds; returns the thread that lets it go. */
HANDLE HoldFor(const std::wstring& path, DWORD ms, Hold* hold) {
  hold->file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  hold->ms = ms;
  if (hold->file == INVALID_HANDLE_VALUE) return nullptr;
  return CreateThread(nullptr, 0, LetGoLater, hold, 0, nullptr);
}

bool MakeFile(olk::FileSystem& fs, const char* path) {
  std::unique_ptr<olk::File> f;
  return fs.CreateNew(path, &f) == olk::IoStatus::kOk && f->Write("data", 4) == olk::IoStatus::kOk &&
         f->Close() == olk::IoStatus::kOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fs_win32_probe ROOT\n");
    return 100;
  }
  const std::wstring root = Widen(argv[1]);
  std::unique_ptr<olk::FileSystem> fs = olk::NewNativeFileSystem(root);

  // A link to a folder elsewhere.
  olk::EntryInfo info;
  CheckStatus("stat a link", fs->Stat("ldir", &info), olk::IoStatus::kOk);
  Check("a link is a link", info.type == olk::EntryType::kLink, "type " + std::to_string(int(info.type)));
  std::unique_ptr<olk::File> f;
  CheckStatus("create through a link", fs->CreateNew("ldir\\planted.txt", &f), olk::IoStatus::kLink);
  CheckStatus("remove through a link", fs->RemoveFile("ldir\\keep.txt"), olk::IoStatus::kLink);
  CheckStatus("remove a link as a folder", fs->RemoveDir("ldir"), olk::IoStatus::kLink);
  std::vector<olk::DirEntry> entries;
  CheckStatus("list through a link", fs->List("ldir", &entries), olk::IoStatus::kLink);
  CheckStatus("list the root", fs->List("", &entries), olk::IoStatus::kOk);
  Check("listed as a link", entries.size() == 1 && entries[0].type == olk::EntryType::kLink,
        std::to_string(entries.size()) + " entries");

  // Second names: never through a link; where made, the same file.
  CheckStatus("second name through a link", fs->LinkFile("ldir\\keep.txt", "second.txt"), olk::IoStatus::kLink);
  Check("make a file to name twice", MakeFile(*fs, "first.txt"));
  CheckStatus("second name", fs->LinkFile("first.txt", "second.txt"), olk::IoStatus::kOk);
  CheckStatus("second name taken", fs->LinkFile("first.txt", "second.txt"), olk::IoStatus::kExists);
  CheckStatus("first name removed", fs->RemoveFile("first.txt"), olk::IoStatus::kOk);
  CheckStatus("second name kept", fs->Stat("second.txt", &info), olk::IoStatus::kOk);
  Check("second name is the file", info.type == olk::EntryType::kFile && info.size > 0,
        "type " + std::to_string(int(info.type)) + ", size " + std::to_string(info.size));
  CheckStatus("second name removed", fs->RemoveFile("second.txt"), olk::IoStatus::kOk);

  // Held for a moment, then let go.
  Check("make a file", MakeFile(*fs, "held.txt"));
  const std::wstring held = root + L"\\held.txt";
  Hold hold;
  HANDLE letgo = HoldFor(held, 300, &hold);
  Check("hold the file", letgo != nullptr);
  DWORD start = GetTickCount();
  CheckStatus("rename held for 0.3 s", fs->Rename("held.txt", "moved.txt"), olk::IoStatus::kOk);
  Check("waited for it", GetTickCount() - start >= 250, std::to_string(GetTickCount() - start) + " ms");
  if (letgo) WaitForSingleObject(letgo, INFINITE);

  letgo = HoldFor(root + L"\\moved.txt", 300, &hold);
  CheckStatus("remove held for 0.3 s", fs->RemoveFile("moved.txt"), olk::IoStatus::kOk);
  if (letgo) WaitForSingleObject(letgo, INFINITE);

  // Held for longer: given up after about two seconds.
  Check("make another file", MakeFile(*fs, "busy.txt"));
  letgo = HoldFor(root + L"\\busy.txt", 5000, &hold);
  start = GetTickCount();
  CheckStatus("rename held for 5 s", fs->Rename("busy.txt", "moved.txt"), olk::IoStatus::kInUse);
  const DWORD waited = GetTickCount() - start;
  Check("gave up after about two seconds", waited >= 1500 && waited < 4000, std::to_string(waited) + " ms");
  CheckStatus("remove held for 5 s", fs->RemoveFile("busy.txt"), olk::IoStatus::kInUse);
  if (letgo) WaitForSingleObject(letgo, INFINITE);
  CheckStatus("remove once let go", fs->RemoveFile("busy.txt"), olk::IoStatus::kOk);
  return failures;
}
