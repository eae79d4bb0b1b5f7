// Host side of the platform layer: real files through POSIX (a backslash in a
// path is a separator, as on Windows), views copied into buffers aligned to
// the allocation granularity, and a scripted, recorded user interface.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "platform/host/host_control.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {
// Allocations made with new (std::nothrow), counted since the last
// FailNothrowAllocation; the one with this number fails (0: none). Atomic:
// olkpack's builder allocates on several threads.
std::atomic<int> g_nothrowAllocations{0};
std::atomic<int> g_failingNothrowAllocation{0};

bool NextNothrowAllocationFails() {
  return ++g_nothrowAllocations == g_failingNothrowAllocation;
}
}  // namespace

// The installer's allocations fail on demand. A successful one is made by
// the ordinary operator new, so that the sanitizers still pair it with its
// delete.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (NextNothrowAllocationFails()) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (NextNothrowAllocationFails()) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

#if defined(__SANITIZE_ADDRESS__)
// The installer's libraries are built with pointer-compare in the sanitizer
// build; this makes it report a relational comparison with a null pointer
// too, not only one of two pointers into different objects.
extern "C" const char* __asan_default_options() { return "detect_invalid_pointer_pairs=2"; }
#endif

namespace platform {
namespace {

struct OpenFile {
  int fd = -1;
  std::string path;
  uint32_t access = 0;
  uint32_t share = 0;
};
struct Mapping {
  int fd = -1;
  uint64_t size = 0;
};
struct View {
  size_t size;
};

struct ModalScript {
  int templateId;
  std::function<void(void*)> user;
};

struct World {
  std::map<void*, std::unique_ptr<host::FakeDialog>> dialogs;
  std::vector<host::FakeDialog*> dialogOrder;  // in order of creation
  std::deque<ModalScript> modalScripts;
  bool failDialogs = false;
  std::map<std::string, void*> exports;
  int loadedLibraries = 0;
  std::string commandLine = "olkpatch.exe";
  std::string driveRoot;  // host folder of the current drive's root; "" is "/"
  std::deque<std::pair<bool, std::string>> browseAnswers;
  std::vector<host::Call> calls;
  std::deque<int> boxAnswers;
  std::vector<std::unique_ptr<host::FakeWindow>> windows;
  std::string ownPath;
  uint32_t granularity = 65536;
  std::map<std::string, std::map<std::string, std::string>> registry;
  std::deque<std::function<void()>> queue;
  std::map<void*, std::unique_ptr<OpenFile>> files;
  std::map<void*, std::unique_ptr<Mapping>> mappings;
  std::map<const void*, View> views;
  bool quitPosted = false;
  void* moduleInstance = nullptr;
};

World& world() {
  static World w;
  return w;
}

thread_local uint32_t t_lastError = 0;

void Record(const char* name, std::string text = {}, std::string detail = {},
            uint64_t number = 0, bool hasDetail = true) {
  host::Call c;
  c.name = name;
  c.text = std::move(text);
  c.detail = std::move(detail);
  c.number = number;
  c.hasDetail = hasDetail;
  world().calls.push_back(std::move(c));
}

// A path that starts with one backslash is on the current drive, whose root
// is world().driveRoot.
std::string HostPath(const char* path) {
  std::string p(path ? path : "");
  bool onCurrentDrive = p.size() >= 1 && p[0] == '\\' && (p.size() == 1 || p[1] != '\\');
  for (char& ch : p)
    if (ch == '\\') ch = '/';
  return onCurrentDrive ? world().driveRoot + p : p;
}

bool ParentExists(const std::string& p) {
  size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return true;
  if (slash == 0) return true;
  struct stat st;
  return stat(p.substr(0, slash).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint32_t ErrorFromErrno(int err, const std::string& p) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return ParentExists(p) ? kErrorFileNotFound : kErrorPathNotFound;
    case EEXIST:
      return kErrorFileExists;
    case EISDIR:
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

// Windows refuses an open whose access the other opener's share mode does
// not allow, and the other way round.
bool SharingAllows(const OpenFile& held, uint32_t access, uint32_t share) {
  auto reads = [](uint32_t a) { return (a & kGenericRead) != 0; };
  auto writes = [](uint32_t a) { return (a & kGenericWrite) != 0; };
  if (reads(access) && !(held.share & kShareRead)) return false;
  if (writes(access) && !(held.share & kShareWrite)) return false;
  if (reads(held.access) && !(share & kShareRead)) return false;
  if (writes(held.access) && !(share & kShareWrite)) return false;
  return true;
}

}  // namespace

namespace file {
Handle Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
            uint32_t attributes) {
  (void)attributes;
  std::string p = HostPath(path);
  // Only opens for reading or writing data take part in sharing: an open for
  // attributes alone (or none) never conflicts.
  bool dataAccess = (access & (kGenericRead | kGenericWrite)) != 0;
  for (auto& kv : world().files) {
    bool heldForData = (kv.second->access & (kGenericRead | kGenericWrite)) != 0;
    if (dataAccess && heldForData && kv.second->path == p &&
        !SharingAllows(*kv.second, access, share)) {
      t_lastError = kErrorSharingViolation;
      return InvalidHandle();
    }
  }
  int flags = O_CLOEXEC;
  if ((access & kGenericRead) && (access & kGenericWrite))
    flags |= O_RDWR;
  else if (access & kGenericWrite)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  switch (disposition) {
    case kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case kOpenAlways: flags |= O_CREAT; break;
    default: break;
  }
  struct stat st;
  if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    t_lastError = kErrorAccessDenied;  // Windows opens no folder as a file
    return InvalidHandle();
  }
  int fd = ::open(p.c_str(), flags, 0644);
  if (fd < 0) {
    t_lastError = ErrorFromErrno(errno, p);
    return InvalidHandle();
  }
  auto f = std::make_unique<OpenFile>();
  f->fd = fd;
  f->path = p;
  f->access = access;
  f->share = share;
  Handle h = f.get();
  world().files[h] = std::move(f);
  t_lastError = 0;
  return h;
}

static OpenFile* FileOf(Handle h) {
  auto it = world().files.find(h);
  return it == world().files.end() ? nullptr : it->second.get();
}

uint32_t Size(Handle h) {
  OpenFile* f = FileOf(h);
  struct stat st;
  if (!f || fstat(f->fd, &st) != 0) return kInvalidSize;
  return static_cast<uint32_t>(st.st_size);
}
uint32_t Seek(Handle h, int32_t distance, uint32_t method) {
  OpenFile* f = FileOf(h);
  if (!f) return kInvalidSize;
  int whence = method == kFileBegin ? SEEK_SET : method == kFileCurrent ? SEEK_CUR : SEEK_END;
  off_t pos = lseek(f->fd, distance, whence);
  if (pos < 0 || pos > 0xFFFFFFFEll) {
    t_lastError = 131;  // ERROR_NEGATIVE_SEEK
    return kInvalidSize;
  }
  return static_cast<uint32_t>(pos);
}
bool Read(Handle h, void* buffer, uint32_t count, uint32_t* done) {
  OpenFile* f = FileOf(h);
  if (done) *done = 0;
  if (!f) return false;
  uint32_t total = 0;
  while (total < count) {
    ssize_t n = ::read(f->fd, static_cast<char*>(buffer) + total, count - total);
    if (n < 0) {
      t_lastError = ErrorFromErrno(errno, f->path);
      return false;
    }
    if (n == 0) break;  // end of file: success with fewer bytes, as on Windows
    total += static_cast<uint32_t>(n);
  }
  if (done) *done = total;
  return true;
}
bool Write(Handle h, const void* buffer, uint32_t count, uint32_t* done) {
  OpenFile* f = FileOf(h);
  if (done) *done = 0;
  if (!f) return false;
  uint32_t total = 0;
  while (total < count) {
    ssize_t n = ::write(f->fd, static_cast<const char*>(buffer) + total, count - total);
    if (n <= 0) {
      t_lastError = n < 0 && errno == ENOSPC ? 112 /* ERROR_DISK_FULL */ : 29;
      return false;
    }
    total += static_cast<uint32_t>(n);
  }
  if (done) *done = total;
  return true;
}
void Close(Handle h) {
  auto& w = world();
  auto f = w.files.find(h);
  if (f != w.files.end()) {
    ::close(f->second->fd);
    w.files.erase(f);
    return;
  }
  auto m = w.mappings.find(h);
  if (m != w.mappings.end()) {
    ::close(m->second->fd);
    w.mappings.erase(m);
  }
}
bool Remove(const char* path) {
  std::string p = HostPath(path);
  struct stat st;
  if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    t_lastError = kErrorAccessDenied;
    return false;
  }
  for (auto& kv : world().files) {
    if (kv.second->path == p && !(kv.second->share & kShareDelete)) {
      t_lastError = kErrorSharingViolation;
      return false;
    }
  }
  if (::unlink(p.c_str()) != 0) {
    t_lastError = ErrorFromErrno(errno, p);
    return false;
  }
  return true;
}
bool SetAttributes(const char* path, uint32_t attributes) {
  std::string p = HostPath(path);
  struct stat st;
  if (stat(p.c_str(), &st) != 0) {
    t_lastError = ErrorFromErrno(errno, p);
    return false;
  }
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & kAttrReadOnly) ? (mode & ~0222) : (mode | 0200);
  return chmod(p.c_str(), mode) == 0;
}
uint32_t Attributes(const char* path) {
  std::string p = HostPath(path);
  struct stat st;
  if (stat(p.c_str(), &st) != 0) {
    t_lastError = ErrorFromErrno(errno, p);
    return kInvalidSize;
  }
  if (S_ISDIR(st.st_mode)) return kAttrDirectory;
  return (st.st_mode & 0200) ? kAttrNormal : kAttrReadOnly;
}
bool CreateFolder(const char* path) {
  std::string p = HostPath(path);
  if (::mkdir(p.c_str(), 0755) != 0) {
    t_lastError = errno == EEXIST ? kErrorAlreadyExists : ErrorFromErrno(errno, p);
    return false;
  }
  return true;
}
uint32_t FullPath(const char* path, char* buffer, uint32_t capacity) {
  std::string full = HostPath(path);
  if (full.empty()) return 0;
  if (full[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return 0;
    full = std::string(cwd) + "/" + full;
  }
  // "." and "/." at the end name the folder itself.
  while (full.size() > 2 && full.compare(full.size() - 2, 2, "/.") == 0)
    full.resize(full.size() - 2);
  if (full.size() + 1 > capacity) return 0;
  memcpy(buffer, full.c_str(), full.size() + 1);
  return static_cast<uint32_t>(full.size());
}
bool TouchTimes(Handle h) {
  OpenFile* f = FileOf(h);
  return f && futimens(f->fd, nullptr) == 0;
}
}  // namespace file

namespace mapping {
Handle CreateReadOnly(Handle h) {
  OpenFile* f = file::FileOf(h);
  struct stat st;
  // Windows cannot map an empty file.
  if (!f || fstat(f->fd, &st) != 0 || st.st_size == 0) {
    t_lastError = 1006;  // ERROR_FILE_INVALID
    return nullptr;
  }
  auto m = std::make_unique<Mapping>();
  m->fd = dup(f->fd);
  m->size = static_cast<uint64_t>(st.st_size);
  Handle mh = m.get();
  world().mappings[mh] = std::move(m);
  return mh;
}
const void* MapView(Handle mh, uint32_t offset, uint32_t size) {
  auto& w = world();
  auto it = w.mappings.find(mh);
  if (it == w.mappings.end() || offset % w.granularity != 0) return nullptr;
  const Mapping& m = *it->second;
  uint64_t length = size;
  if (size == 0) {
    if (offset >= m.size) return nullptr;
    length = m.size - offset;
  }
  if (uint64_t(offset) + length > m.size) {
    t_lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY, as Windows reports a view past the end
    return nullptr;
  }
  // A copy at an address that is a multiple of the granularity, of exactly
  // the view's length, so that AddressSanitizer sees any read past the view.
  void* base = nullptr;
  if (posix_memalign(&base, w.granularity, length ? length : 1) != 0) return nullptr;
  if (pread(m.fd, base, length, offset) != static_cast<ssize_t>(length)) {
    free(base);
    return nullptr;
  }
  w.views[base] = View{static_cast<size_t>(length)};
  return base;
}
void UnmapView(const void* base) {
  auto& w = world();
  auto it = w.views.find(base);
  if (it == w.views.end()) {
    Record("UnmapView(unknown)");
    return;
  }
  free(const_cast<void*>(base));
  w.views.erase(it);
}
uint32_t AllocationGranularity() { return world().granularity; }
}  // namespace mapping

namespace process {
uint32_t OwnPath(char* buffer, uint32_t capacity) {
  if (capacity == 0) return 0;
  const std::string& p = world().ownPath;
  size_t n = p.size() < capacity - 1 ? p.size() : capacity - 1;
  memcpy(buffer, p.data(), n);
  buffer[n] = '\0';
  return n < p.size() ? 0 : static_cast<uint32_t>(n);
}
bool Launch(const char* path, const char* commandLine) {
  // As on Windows: the process gets a copy of the command line, made before
  // it is created.
  char* line = commandLine ? text::Duplicate(commandLine) : nullptr;
  if (commandLine && !line) {
    t_lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return false;
  }
  delete[] line;
  Record("Launch", path ? path : "", commandLine ? commandLine : "", 0, commandLine != nullptr);
  struct stat st;
  std::string p = HostPath(path);
  if (stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    t_lastError = ErrorFromErrno(ENOENT, p);
    return false;
  }
  return true;
}
void SleepMs(uint32_t milliseconds) { Record("Sleep", {}, {}, milliseconds); }
void TerminateSelf() {
  Record("TerminateProcess");
  throw host::ProcessTerminated{};
}
const char* CommandLine() { return world().commandLine.c_str(); }
bool ReadEnvironment(const char* name, char* buffer, uint32_t capacity) {
  const char* value = getenv(name);
  if (!value || !*value || strlen(value) >= capacity) return false;
  memcpy(buffer, value, strlen(value) + 1);
  return true;
}
uint32_t LastError() { return t_lastError; }
void SetLastError(uint32_t code) { t_lastError = code; }
void DebugOutput(const char* text) { Record("DebugOutput", text ? text : ""); }
void RestrictDllSearchToSystem() { Record("RestrictDllSearchToSystem"); }
}  // namespace process

namespace library {
Handle Load(const char* path) {
  Record("LoadLibrary", path ? path : "");
  std::string p = HostPath(path);
  char magic[2] = {0, 0};
  int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  bool loadable = fd >= 0 && ::read(fd, magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z';
  if (fd >= 0) ::close(fd);
  if (!loadable) {
    t_lastError = fd < 0 ? uint32_t{kErrorFileNotFound} : 193u;  // ERROR_BAD_EXE_FORMAT
    return nullptr;
  }
  ++world().loadedLibraries;
  return reinterpret_cast<Handle>(static_cast<intptr_t>(world().loadedLibraries));
}
void* Find(Handle library, const char* exportName) {
  (void)library;
  auto it = world().exports.find(exportName ? exportName : "");
  if (it == world().exports.end()) {
    t_lastError = 127;  // ERROR_PROC_NOT_FOUND
    return nullptr;
  }
  return it->second;
}
void Free(Handle library) {
  (void)library;
  Record("FreeLibrary");
  --world().loadedLibraries;
}
}  // namespace library

namespace ui {
int ShowMessageBox(Window owner, const char* text, const char* caption, uint32_t style) {
  (void)owner;
  Record("MessageBox", text ? text : "", caption ? caption : "", style);
  auto& q = world().boxAnswers;
  if (q.empty()) return kIdOk;
  int answer = q.front();
  q.pop_front();
  return answer;
}
Window FindByClass(const char* className) {
  Record("FindWindow", className ? className : "");
  for (auto& w : world().windows)
    if (w->alive && className && w->className == className) return w.get();
  return nullptr;
}
intptr_t Send(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  (void)wParam;
  (void)lParam;
  Record("SendMessage", {}, {}, message);
  for (auto& w : world().windows) {
    if (w.get() == window && w->alive && message == kWmClose) {
      ++w->closeRequests;
      if (w->obeysClose) w->alive = false;
    }
  }
  return 0;
}
bool SendBounded(Window window, uint32_t message, uint32_t timeoutMs) {
  (void)timeoutMs;
  Send(window, message, 0, 0);
  return true;
}
bool Destroy(Window window) {
  (void)window;
  Record("DestroyWindow");
  return false;  // another program's window cannot be destroyed from here
}
void DrainMessages() {
  Record("DrainMessages");
  // What is queued now; a handler that queues more leaves it for the next
  // drain, so a test can post a message that waits for a condition.
  std::deque<std::function<void()>> now;
  now.swap(world().queue);
  while (!now.empty()) {
    auto handler = std::move(now.front());
    now.pop_front();
    handler();
  }
}
void PostQuit() {
  Record("PostQuitMessage");
  world().quitPosted = true;
}
bool BrowseForFolder(Window owner, const char* title, char* path) {
  (void)owner;
  Record("BrowseForFolder", title ? title : "");
  auto& q = world().browseAnswers;
  if (q.empty()) return false;
  auto answer = q.front();
  q.pop_front();
  if (!answer.first) return false;
  snprintf(path, 260, "%s", answer.second.c_str());
  return true;
}
void RunMessageLoop() {
  Record("MessageLoop");
  DrainMessages();
}
}  // namespace ui

namespace dialog {
namespace {
// The first tab-stop control of each template, which gets the focus when
// WM_INITDIALOG answers TRUE, and whether it is an edit box.
struct FirstTabStop {
  int templateId;
  int itemId;
  bool isEdit;
};
const FirstTabStop kFirstTabStops[] = {{104, 1008, true}, {101, 1, false}};

host::FakeDialog* Fake(Window w) {
  auto it = world().dialogs.find(w);
  return it == world().dialogs.end() ? nullptr : it->second.get();
}

Window Make(int templateId, Client* client, bool modal) {
  if (world().failDialogs) return nullptr;
  auto d = std::make_unique<host::FakeDialog>();
  d->templateId = templateId;
  d->client = client;
  d->modal = modal;
  Window w = d.get();
  world().dialogOrder.push_back(d.get());
  world().dialogs[w] = std::move(d);
  client->window = w;
  intptr_t result = 0;
  bool handled = client->OnMessage(kWmInitDialog, 0, 0, result);
  host::FakeDialog* fake = Fake(w);
  if (fake && (!handled || result)) {
    for (const FirstTabStop& t : kFirstTabStops) {
      if (t.templateId == templateId && t.isEdit)
        fake->selections[t.itemId] = {0, fake->items[t.itemId].size()};
    }
  }
  return w;
}

void Finish(Window w) {
  host::FakeDialog* d = Fake(w);
  Client* client = static_cast<Client*>(d->client);
  intptr_t ignored = 0;
  client->OnMessage(kWmNcDestroy, 0, 0, ignored);
  client->window = nullptr;
  client->OnFinalMessage();
}
}  // namespace

Window CreateModeless(int templateId, Client* client) {
  Record("CreateDialog", {}, {}, static_cast<uint64_t>(templateId));
  return Make(templateId, client, false);
}

intptr_t ShowModal(int templateId, Window owner, Client* client) {
  (void)owner;
  Record("DialogBox", {}, {}, static_cast<uint64_t>(templateId));
  Window w = Make(templateId, client, true);
  if (!w) return -1;
  auto& scripts = world().modalScripts;
  for (auto it = scripts.begin(); it != scripts.end(); ++it) {
    if (it->templateId == templateId) {
      auto user = std::move(it->user);
      scripts.erase(it);
      user(w);
      break;
    }
  }
  host::FakeDialog* d = Fake(w);
  intptr_t result = d->ended ? d->endResult : 2;
  Finish(w);
  return result;
}

void End(Window dialog, intptr_t result) {
  Record("EndDialog", {}, {}, static_cast<uint64_t>(result));
  if (host::FakeDialog* d = Fake(dialog)) {
    d->ended = true;
    d->endResult = result;
    d->visible = false;
  }
}
void SetText(Window window, const char* text) {
  if (host::FakeDialog* d = Fake(window)) d->caption = text ? text : "";
}
void SetItemText(Window dialog, int itemId, const char* text) {
  if (host::FakeDialog* d = Fake(dialog)) d->items[itemId] = text ? text : "";
}
uint32_t GetItemText(Window dialog, int itemId, char* buffer, uint32_t capacity) {
  if (capacity == 0) return 0;
  host::FakeDialog* d = Fake(dialog);
  std::string t = d ? d->items[itemId] : std::string();
  size_t n = t.size() < capacity - 1 ? t.size() : capacity - 1;
  memcpy(buffer, t.data(), n);
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}
intptr_t SendItem(Window dialog, int itemId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  host::FakeDialog* d = Fake(dialog);
  if (!d) return 0;
  std::string& t = d->items[itemId];
  auto& sel = d->selections.try_emplace(itemId, t.size(), t.size()).first->second;
  switch (message) {
    case kWmGetTextLength:
      return static_cast<intptr_t>(t.size());
    case kEmSetSel: {
      // As the edit control: -1 as start removes the selection; -1 as end
      // means the end of the text; positions are clamped to the text.
      intptr_t start = static_cast<intptr_t>(wParam), end = lParam;
      if (start == -1) {
        sel.first = sel.second;
        return 0;
      }
      size_t len = t.size();
      size_t s = start < 0 ? 0 : std::min<size_t>(static_cast<size_t>(start), len);
      size_t e = end < 0 ? len : std::min<size_t>(static_cast<size_t>(end), len);
      sel = {std::min(s, e), std::max(s, e)};
      return 0;
    }
    case kEmReplaceSel: {
      const char* insert = reinterpret_cast<const char*>(lParam);
      t.replace(sel.first, sel.second - sel.first, insert ? insert : "");
      size_t caret = sel.first + (insert ? strlen(insert) : 0);
      sel = {caret, caret};
      return 0;
    }
    case kPbmSetPos: {
      intptr_t previous = d->positions[itemId];
      d->positions[itemId] = static_cast<intptr_t>(wParam);
      d->positionHistory.push_back(static_cast<intptr_t>(wParam));
      return previous;
    }
    default:
      return 0;
  }
}
void Show(Window window) {
  if (host::FakeDialog* d = Fake(window)) d->visible = true;
}
Window Active() { return nullptr; }
}  // namespace dialog

namespace session {
void Begin(void* moduleInstance) {
  Record("SessionBegin");
  world().moduleInstance = moduleInstance;
}
void End() {
  Record("SessionEnd");
  world().moduleInstance = nullptr;
}
void* ModuleInstance() { return world().moduleInstance; }
}  // namespace session

namespace registry {
ReadResult ReadMachineString(const char* subkey, const char* value, char* buffer,
                             uint32_t capacity) {
  auto& reg = world().registry;
  auto key = reg.find(subkey ? subkey : "");
  if (key == reg.end()) return ReadResult::kKeyMissing;
  auto v = key->second.find(value ? value : "");
  // Windows refuses data longer than the buffer.
  if (v == key->second.end() || v->second.size() + 1 > capacity) return ReadResult::kValueMissing;
  memcpy(buffer, v->second.c_str(), v->second.size() + 1);
  return ReadResult::kOk;
}
}  // namespace registry

namespace host {
void Reset() {
  FailNothrowAllocation(0);
  World& w = world();
  for (auto& kv : w.files) ::close(kv.second->fd);
  for (auto& kv : w.mappings) ::close(kv.second->fd);
  for (auto& kv : w.views) free(const_cast<void*>(kv.first));
  w = World();
  t_lastError = 0;
}
const std::vector<Call>& Calls() { return world().calls; }
std::vector<Call> CallsNamed(const std::string& name) {
  std::vector<Call> out;
  for (const Call& c : world().calls)
    if (c.name == name) out.push_back(c);
  return out;
}
void ScriptBoxAnswers(std::vector<int> answers) {
  world().boxAnswers.assign(answers.begin(), answers.end());
}
FakeWindow* AddWindow(const std::string& className, bool obeysClose) {
  auto w = std::make_unique<FakeWindow>();
  w->className = className;
  w->obeysClose = obeysClose;
  FakeWindow* raw = w.get();
  world().windows.push_back(std::move(w));
  return raw;
}
void SetOwnPath(const std::string& path) { world().ownPath = path; }
void SetAllocationGranularity(uint32_t granularity) { world().granularity = granularity; }
void AddRegistryKey(const std::string& subkey) { world().registry[subkey]; }
void SetRegistryString(const std::string& subkey, const std::string& value,
                       const std::string& text) {
  world().registry[subkey][value] = text;
}
void QueueMessage(std::function<void()> handler) { world().queue.push_back(std::move(handler)); }
FakeDialog* LastDialog(int templateId) {
  FakeDialog* last = nullptr;
  for (FakeDialog* d : world().dialogOrder)
    if (d->templateId == templateId) last = d;
  return last;
}
FakeDialog* DialogOf(void* window) {
  auto it = world().dialogs.find(window);
  return it == world().dialogs.end() ? nullptr : it->second.get();
}
void ScriptModal(int templateId, std::function<void(void*)> user) {
  world().modalScripts.push_back({templateId, std::move(user)});
}
intptr_t SendToDialog(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  FakeDialog* d = DialogOf(window);
  if (!d) return 0;
  intptr_t result = 0;
  static_cast<dialog::Client*>(d->client)->OnMessage(message, wParam, lParam, result);
  return result;
}
void FailDialogCreation(bool fail) { world().failDialogs = fail; }
void SetLibraryExport(const std::string& name, void* function) { world().exports[name] = function; }
int LoadedLibraryCount() { return world().loadedLibraries; }
void SetCommandLine(const std::string& commandLine) { world().commandLine = commandLine; }
void SetDriveRoot(const std::string& hostFolder) { world().driveRoot = hostFolder; }
void FailNothrowAllocation(int number) {
  g_nothrowAllocations = 0;
  g_failingNothrowAllocation = number;
}
void ScriptBrowse(std::vector<const char*> answers) {
  auto& q = world().browseAnswers;
  q.clear();
  for (const char* a : answers) q.emplace_back(a != nullptr, a ? a : "");
}

int OpenHandleCount() {
  return static_cast<int>(world().files.size() + world().mappings.size());
}
int MappedViewCount() { return static_cast<int>(world().views.size()); }
}  // namespace host

}  // namespace platform
