// uidriver: starts a program, reads every window it shows and answers it by
// script, the way a user would, and writes what it saw as JSON lines.
//
//   uidriver.exe JOBFILE
//
// The job file holds "key=value" lines; a value is the rest of its line,
// byte for byte (trailing blanks included), so command lines with quotes and
// backslashes need no escaping:
//
//   exe=PATH          program to start (required)
//   args=TEXT         command line after the program's name (optional)
//   cmdline=TEXT      the whole command line, program name included, instead
//                     of the quoted exe path, a blank and args: for names
//                     written as a user or a shortcut may write them
//   cwd=DIR           the program's current folder (default: the driver's)
//   transcript=PATH   JSON lines written here (required)
//   timeout_ms=N      limit for the whole run (default 20000); the program is
//                     terminated when it is exceeded
//   settle_ms=N       how long a window must have been visible before it is
//                     read (default 100)
//   child_wait_ms=N   how long to wait for started children after the
//                     program ended (default 10000)
//   follow=1          the programs that the program starts, and those that
//                     they start, are driven as well: their windows take the
//                     next answers in the order in which all windows appear
//                     (a chain of installers), and the run lasts until every
//                     one of them has ended; on a timeout they are ended too
//   shots=DIR         folder for pictures: the whole screen at a timeout, and
//                     every window read when window_shots=1 (optional)
//   window_shots=1    save a BMP picture of every window read into DIR
//   leave=CAPTION     a window with exactly this caption is recorded and left
//                     alone, and takes no scripted answer (a modeless window
//                     that stays while the run goes on); may be repeated
//   answer=STEP       starts the next scripted answer; answers are used in the
//                     order in which windows appear
//   and=STEP          adds a step to the latest answer
//   default=STEP      answer for windows beyond the script (default "cancel")
//   env=NAME=VALUE    set in the program's environment (it inherits the
//                     driver's); may be repeated
//   ping=CAPTION      while a window with exactly this caption is up, ask it
//                     every 100 ms to answer a harmless message (WM_NULL, 2 s
//                     limit) and record how long it took; may be repeated
//
// Steps: "press ID" (a button's click, as WM_COMMAND/BN_CLICKED),
// "set ID TEXT" (WM_SETTEXT to a control), "cancel" (WM_COMMAND IDCANCEL),
// "close" (WM_CLOSE), "closebox" (WM_SYSCOMMAND SC_CLOSE, as a click on the
// close box), "leave" (record the window, do nothing),
// "await ID TEXT" (wait, up to 10 s, until the control's text is TEXT),
// "read" or "read CAPTION" (record the window, or the window with that
// caption of the same program, as it is now: a "read" event), "shot" (save
// a picture of the window as shot-NN.bmp in the shots folder), "signal NAME"
// (set the named event NAME, making it first if need be), "to CAPTION" (the
// steps after it act on the same program's window with that caption: to
// answer a window that waits below a modal one which the earlier steps
// close).
//
// Events, one JSON object a line, in the order they happened:
//   start      pid and command line of the started program
//   window     a visible top-level window of the program (or, with
//              follow=1, of a program it started; "pid" tells): class,
//              caption, controls (with "pos" for a progress bar), "focus"
//              (id of the control that has the keyboard focus, or null), and
//              for a message box its text, icon and buttons; "answer" lists
//              the steps taken
//   gone       a window that vanished before it could be read
//   read       a window as a "read" step found it
//   ping       a watched window's answer: "reply_ms" (null when it gave none
//              within the limit), "hung" (IsHungAppWindow) and "texts", the
//              texts of its static controls by id
//   child      a process the program started (pid, image name)
//   child_exit its exit code (or "still running" when the wait ran out)
//   timeout    the limit was reached; the program was terminated
//   exit       the program's exit code
//
// Exit status: 0 when the program ended within the limit, 1 on a timeout,
// 2 when the job could not be run.
//
// Everything goes to files: a program that is the first one of a fresh
// wineserver may hold on to its caller's pipes, so stdout is not reliable.

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct Step {
  std::string verb;  // press, set, cancel, close, leave
  int id = 0;
  std::string text;
};
using Answer = std::vector<Step>;

struct Job {
  std::string exe;
  std::string args;
  bool haveArgs = false;
  std::string cmdline;
  bool haveCmdline = false;
  std::string cwd;
  std::string transcript;
  std::string shots;
  bool windowShots = false;
  std::vector<std::string> leave;
  std::vector<std::string> ping;
  std::vector<std::pair<std::string, std::string>> env;
  DWORD timeoutMs = 20000;
  DWORD settleMs = 100;
  DWORD childWaitMs = 10000;
  bool follow = false;
  std::vector<Answer> answers;
  Answer fallback{Step{"cancel", 0, ""}};
};

FILE* g_out = nullptr;
DWORD g_start = 0;

DWORD Elapsed() { return GetTickCount() - g_start; }

// ---------------------------------------------------------------- JSON text

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
  return s;
}

// A JSON string literal. Bytes of 0x80 and above are taken as UTF-8 and
// passed through, unless `latin1` says the text is single-byte (the command
// lines), when each byte is written as the code point of the same number.
std::string Json(const std::string& s, bool latin1 = false) {
  std::string o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += (char)c;
    } else if (c < 0x20 || (latin1 && c >= 0x7f)) {
      char b[8];
      snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else {
      o += (char)c;
    }
  }
  return o + "\"";
}

std::string Hex(UINT_PTR v) {
  char b[24];
  snprintf(b, sizeof b, "\"0x%08lx\"", (unsigned long)v);
  return b;
}

void Emit(const std::string& event, const std::string& fields) {
  if (!g_out) return;
  fprintf(g_out, "{\"event\":%s,\"t_ms\":%lu%s%s}\n", Json(event).c_str(), (unsigned long)Elapsed(),
          fields.empty() ? "" : ",", fields.c_str());
  fflush(g_out);
}

// ---------------------------------------------------------------- job file

bool ParseStep(const std::string& s, Step* step) {
  size_t sp = s.find(' ');
  step->verb = s.substr(0, sp);
  std::string rest = sp == std::string::npos ? "" : s.substr(sp + 1);
  if (step->verb == "cancel" || step->verb == "close" || step->verb == "closebox" ||
      step->verb == "leave" || step->verb == "shot")
    return rest.empty();
  if (step->verb == "read" || step->verb == "signal" || step->verb == "to") {
    step->text = rest;
    return step->verb == "read" || !rest.empty();
  }
  if (step->verb != "press" && step->verb != "set" && step->verb != "await") return false;
  char* end = nullptr;
  long id = strtol(rest.c_str(), &end, 10);
  if (end == rest.c_str()) return false;
  step->id = (int)id;
  if (step->verb == "press") return *end == '\0';
  if (*end != ' ') return false;
  step->text = end + 1;
  return true;
}

bool ReadJob(const char* path, Job* job, std::string* error) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    *error = std::string("cannot open job file ") + path;
    return false;
  }
  std::string all;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, n);
  fclose(f);

  size_t pos = 0;
  while (pos < all.size()) {
    size_t nl = all.find('\n', pos);
    std::string line = all.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? all.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      *error = "job line without '=': " + line;
      return false;
    }
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    Step step;
    if (key == "exe") {
      job->exe = value;
    } else if (key == "args") {
      job->args = value;
      job->haveArgs = true;
    } else if (key == "cmdline") {
      job->cmdline = value;
      job->haveCmdline = true;
    } else if (key == "cwd") {
      job->cwd = value;
    } else if (key == "transcript") {
      job->transcript = value;
    } else if (key == "shots") {
      job->shots = value;
    } else if (key == "window_shots") {
      job->windowShots = value == "1";
    } else if (key == "leave") {
      job->leave.push_back(value);
    } else if (key == "ping") {
      job->ping.push_back(value);
    } else if (key == "env") {
      size_t at = value.find('=');
      if (at == std::string::npos || at == 0) {
        *error = "env needs NAME=VALUE: " + value;
        return false;
      }
      job->env.emplace_back(value.substr(0, at), value.substr(at + 1));
    } else if (key == "timeout_ms") {
      job->timeoutMs = strtoul(value.c_str(), nullptr, 10);
    } else if (key == "settle_ms") {
      job->settleMs = strtoul(value.c_str(), nullptr, 10);
    } else if (key == "child_wait_ms") {
      job->childWaitMs = strtoul(value.c_str(), nullptr, 10);
    } else if (key == "follow") {
      job->follow = value == "1";
    } else if (key == "answer" || key == "and" || key == "default") {
      if (!ParseStep(value, &step)) {
        *error = "bad step: " + value;
        return false;
      }
      if (key == "answer") {
        job->answers.push_back(Answer{step});
      } else if (key == "and") {
        if (job->answers.empty()) {
          *error = "'and' before any 'answer'";
          return false;
        }
        job->answers.back().push_back(step);
      } else {
        job->fallback = Answer{step};
      }
    } else {
      *error = "unknown job key: " + key;
      return false;
    }
  }
  if (job->exe.empty() || job->transcript.empty()) {
    *error = "job needs exe= and transcript=";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- windows

std::wstring ClassOf(HWND w) {
  wchar_t b[256] = {0};
  GetClassNameW(w, b, 256);
  return b;
}

// The text of another process's window. Reading it must never hang on a busy
// program: edit and combo boxes keep their text themselves and are asked with
// a bounded WM_GETTEXT; every other window's text is the one the system holds.
std::wstring TextOf(HWND w) {
  std::wstring cls = ClassOf(w);
  if (!lstrcmpiW(cls.c_str(), L"Edit") || !lstrcmpiW(cls.c_str(), L"ComboBox")) {
    DWORD_PTR len = 0;
    if (SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 1000, &len)) {
      std::vector<wchar_t> b(len + 2, 0);
      DWORD_PTR got = 0;
      if (SendMessageTimeoutW(w, WM_GETTEXT, (WPARAM)(len + 1), (LPARAM)b.data(), SMTO_ABORTIFHUNG, 1000,
                              &got))
        return std::wstring(b.data());
    }
  }
  int len = GetWindowTextLengthW(w);
  std::vector<wchar_t> b(len + 2, 0);
  InternalGetWindowText(w, b.data(), len + 1);
  return std::wstring(b.data());
}

// Dialog control ids are 16-bit; -1 (IDC_STATIC) reads as 65535.
unsigned ControlId(HWND w) { return (unsigned)GetDlgCtrlID(w) & 0xFFFFu; }

HWND FindControl(HWND dlg, unsigned id) {
  for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    if (ControlId(c) == id) return c;
  return nullptr;
}

// ---------------------------------------------------------------- pictures

struct Picture {
  int w = 0, h = 0;
  std::vector<DWORD> px;  // top-down, 0x00RRGGBB
};

// A 32-bit top-down bitmap of w x h pixels whose bits are at *bits.
HBITMAP MakeTopDownBitmap(HDC dc, int w, int h, void** bits) {
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  return CreateDIBSection(dc, &bi, DIB_RGB_COLORS, bits, nullptr, 0);
}

// A copy of a screen rectangle, as shown (the X server's picture of it).
bool CaptureScreen(const RECT& r, Picture* pic) {
  int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0 || w > 4096 || h > 4096) return false;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bmp = MakeTopDownBitmap(mem, w, h, &bits);
  bool ok = false;
  if (bmp) {
    HGDIOBJ old = SelectObject(mem, bmp);
    ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != 0;
    GdiFlush();
    if (ok) {
      pic->w = w;
      pic->h = h;
      pic->px.assign((DWORD*)bits, (DWORD*)bits + (size_t)w * h);
      for (DWORD& p : pic->px) p &= 0xFFFFFF;
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
  }
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return ok;
}

// The system icon `id` drawn as a static icon control draws it: stretched
// over a w x h client area filled with `background`.
Picture RenderIcon(LPCWSTR id, int w, int h, DWORD background) {
  Picture pic;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bmp = MakeTopDownBitmap(mem, w, h, &bits);
  if (bmp) {
    HGDIOBJ old = SelectObject(mem, bmp);
    DWORD* p = (DWORD*)bits;
    for (size_t i = 0; i < (size_t)w * h; ++i) p[i] = background;
    DrawIconEx(mem, 0, 0, LoadIconW(nullptr, id), w, h, 0, nullptr, DI_NORMAL);
    GdiFlush();
    pic.w = w;
    pic.h = h;
    pic.px.assign(p, p + (size_t)w * h);
    for (DWORD& q : pic.px) q &= 0xFFFFFF;
    SelectObject(mem, old);
    DeleteObject(bmp);
  }
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return pic;
}

size_t Differing(const Picture& a, const Picture& b) {
  size_t n = 0;
  for (size_t i = 0; i < a.px.size(); ++i) {
    DWORD x = a.px[i], y = b.px[i];
    int dr = abs((int)((x >> 16) & 255) - (int)((y >> 16) & 255));
    int dg = abs((int)((x >> 8) & 255) - (int)((y >> 8) & 255));
    int db = abs((int)(x & 255) - (int)(y & 255));
    if (dr > 24 || dg > 24 || db > 24) ++n;
  }
  return n;
}

// Which standard icon a message box shows: the icon control (1088) is read
// off the screen and compared with each system icon drawn the same way.
// "none" when the control is hidden or blank; "unknown" when it shows
// something that is none of the four.
std::string ClassifyIcon(HWND ctl) {
  if (!ctl || !IsWindowVisible(ctl)) return "none";
  // The control of a box without an icon stays visible, but holds none.
  DWORD_PTR icon = 0;
  if (SendMessageTimeoutW(ctl, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 1000, &icon) && !icon) return "none";
  RECT r;
  GetWindowRect(ctl, &r);
  Picture seen;
  if (!CaptureScreen(r, &seen)) return "unreadable";
  DWORD bg = seen.px[0];
  bool blank = true;
  for (DWORD p : seen.px) blank = blank && p == bg;
  if (blank) return "none";
  static const struct {
    const char* name;
    LPCWSTR id;
  } kIcons[] = {{"error", MAKEINTRESOURCEW(32513)},         // IDI_HAND
                {"warning", MAKEINTRESOURCEW(32515)},       // IDI_EXCLAMATION
                {"information", MAKEINTRESOURCEW(32516)},   // IDI_ASTERISK
                {"question", MAKEINTRESOURCEW(32514)}};     // IDI_QUESTION
  const char* best = "unknown";
  size_t bestDiff = (size_t)-1;
  for (const auto& icon : kIcons) {
    size_t d = Differing(seen, RenderIcon(icon.id, seen.w, seen.h, bg));
    if (d < bestDiff) {
      bestDiff = d;
      best = icon.name;
    }
  }
  // Allow a few pixels of difference in blending; another icon differs in
  // hundreds.
  return bestDiff * 50 <= seen.px.size() ? best : "unknown";
}

bool SaveBmp(const std::string& path, const Picture& pic) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  BITMAPFILEHEADER fh = {};
  BITMAPINFOHEADER ih = {};
  DWORD bytes = (DWORD)pic.px.size() * 4;
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof ih;
  fh.bfSize = fh.bfOffBits + bytes;
  ih.biSize = sizeof ih;
  ih.biWidth = pic.w;
  ih.biHeight = -pic.h;
  ih.biPlanes = 1;
  ih.biBitCount = 32;
  ih.biCompression = BI_RGB;
  bool ok = fwrite(&fh, sizeof fh, 1, f) == 1 && fwrite(&ih, sizeof ih, 1, f) == 1 &&
            fwrite(pic.px.data(), 1, bytes, f) == bytes;
  return fclose(f) == 0 && ok;
}

// ---------------------------------------------------------------- reading

// A message box is a dialog with the message text in static 65535 and the
// icon in static 1088.
bool IsMessageBox(HWND w) {
  HWND text = FindControl(w, 0xFFFF), icon = FindControl(w, 1088);
  return ClassOf(w) == L"#32770" && text && icon && !lstrcmpiW(ClassOf(text).c_str(), L"Static") &&
         !lstrcmpiW(ClassOf(icon).c_str(), L"Static");
}

std::string Describe(HWND w) {
  std::string f;
  RECT r;
  GetWindowRect(w, &r);
  char rect[96];
  snprintf(rect, sizeof rect, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  f += "\"hwnd\":" + Hex((UINT_PTR)w);
  f += ",\"pid\":" + std::to_string(pid);
  f += ",\"class\":" + Json(Utf8(ClassOf(w)));
  f += ",\"caption\":" + Json(Utf8(TextOf(w)));
  f += ",\"rect\":" + std::string(rect);
  HWND owner = GetWindow(w, GW_OWNER);
  f += ",\"owner\":" + (owner ? Hex((UINT_PTR)owner) : std::string("null"));

  bool box = IsMessageBox(w);
  f += std::string(",\"message_box\":") + (box ? "true" : "false");
  if (box) {
    std::string icon = ClassifyIcon(FindControl(w, 1088));
    f += ",\"text\":" + Json(Utf8(TextOf(FindControl(w, 0xFFFF))));
    f += ",\"icon\":" + Json(icon);
  }

  std::string buttons, controls;
  for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    std::wstring cls = ClassOf(c);
    LONG style = GetWindowLongW(c, GWL_STYLE);
    bool visible = IsWindowVisible(c) != 0;
    std::string text = Utf8(TextOf(c));
    char head[64];
    snprintf(head, sizeof head, "{\"id\":%u", ControlId(c));
    RECT cr;
    GetWindowRect(c, &cr);
    char crect[96];
    snprintf(crect, sizeof crect, "[%ld,%ld,%ld,%ld]", cr.left - r.left, cr.top - r.top, cr.right - r.left,
             cr.bottom - r.top);
    if (!controls.empty()) controls += ",";
    controls += std::string(head) + ",\"class\":" + Json(Utf8(cls)) + ",\"text\":" + Json(text) +
                ",\"rect\":" + crect +
                ",\"visible\":" + (visible ? "true" : "false") + ",\"style\":" + Hex((UINT_PTR)(DWORD)style);
    if (!lstrcmpiW(cls.c_str(), L"msctls_progress32")) {
      DWORD_PTR pos = 0;
      controls += ",\"pos\":";
      controls += SendMessageTimeoutW(c, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &pos)
                      ? std::to_string((int)pos)
                      : std::string("null");
    }
    controls += "}";
    LONG kind = style & BS_TYPEMASK;
    if (!lstrcmpiW(cls.c_str(), L"Button") && visible && (kind == BS_PUSHBUTTON || kind == BS_DEFPUSHBUTTON)) {
      if (!buttons.empty()) buttons += ",";
      buttons += std::string(head) + ",\"text\":" + Json(text) +
                 ",\"default\":" + (kind == BS_DEFPUSHBUTTON ? "true" : "false") + "}";
    }
  }
  f += ",\"buttons\":[" + buttons + "]";
  f += ",\"controls\":[" + controls + "]";
  // The keyboard focus of the window's thread, as the id of one of its
  // controls (the window's own id when the window itself has it).
  GUITHREADINFO gui = {};
  gui.cbSize = sizeof gui;
  HWND focus = GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &gui) ? gui.hwndFocus : nullptr;
  f += ",\"focus\":";
  f += focus && (focus == w || IsChild(w, focus)) ? std::to_string(ControlId(focus)) : std::string("null");
  return f;
}

// ---------------------------------------------------------------- answering

std::string StepText(const Step& s) {
  if (s.verb == "press") return "press " + std::to_string(s.id);
  if (s.verb == "set" || s.verb == "await") return s.verb + " " + std::to_string(s.id) + " " + s.text;
  if (s.verb == "read" || s.verb == "signal" || s.verb == "to")
    return s.text.empty() ? s.verb : s.verb + " " + s.text;
  return s.verb;
}

// What steps need besides the window they answer: the program that shows
// it (a started one, with follow=1) and the job.
struct StepContext {
  DWORD pid;
  HANDLE process;
  const Job* job;
  int* shotIndex;
};

HWND FindProgramWindow(DWORD pid, const std::string& caption);

// Saves a picture of the window into the shots folder as PREFIX-NN.bmp;
// returns the file name, or "" when no picture could be saved.
std::string SaveWindowShot(HWND w, const StepContext& ctx, const char* prefix) {
  if (ctx.job->shots.empty()) return "";
  RECT r;
  Picture pic;
  GetWindowRect(w, &r);
  char name[48];
  snprintf(name, sizeof name, "%s-%02d.bmp", prefix, ++*ctx.shotIndex);
  return CaptureScreen(r, &pic) && SaveBmp(ctx.job->shots + "\\" + name, pic) ? name : "";
}

// Carries out the steps; returns an error text, empty when all went well.
std::string Perform(HWND w, const Answer& answer, const StepContext& ctx) {
  for (const Step& s : answer) {
    if (s.verb == "leave") continue;
    if (s.verb == "to") {
      w = FindProgramWindow(ctx.pid, s.text);
      if (!w) return "no window " + s.text + " to act on";
    } else if (s.verb == "close") {
      PostMessageW(w, WM_CLOSE, 0, 0);
    } else if (s.verb == "closebox") {
      PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (s.verb == "await") {
      HWND c = FindControl(w, (unsigned)s.id);
      std::wstring seen;
      DWORD until = GetTickCount() + 10000;
      for (;;) {
        if (!c || !IsWindow(c)) return "no control " + std::to_string(s.id) + " to await";
        seen = TextOf(c);
        if (Utf8(seen) == s.text) break;
        if ((LONG)(GetTickCount() - until) >= 0 || WaitForSingleObject(ctx.process, 0) == WAIT_OBJECT_0)
          return "control " + std::to_string(s.id) + " still shows " + Utf8(seen);
        Sleep(10);
      }
    } else if (s.verb == "read") {
      HWND target = s.text.empty() ? w : FindProgramWindow(ctx.pid, s.text);
      if (!target) return "no window " + s.text + " to read";
      std::string fields = Describe(target);
      std::string shot = ctx.job->windowShots ? SaveWindowShot(target, ctx, "read") : "";
      if (!shot.empty()) fields += ",\"shot\":" + Json(shot);
      Emit("read", fields);
    } else if (s.verb == "shot") {
      std::string shot = SaveWindowShot(w, ctx, "shot");
      if (shot.empty()) return "no picture could be saved";
      Emit("shot", "\"hwnd\":" + Hex((UINT_PTR)w) + ",\"shot\":" + Json(shot));
    } else if (s.verb == "signal") {
      HANDLE event = CreateEventA(nullptr, TRUE, FALSE, s.text.c_str());
      if (!event) return "cannot make the event " + s.text;
      SetEvent(event);
      // Kept open: the name lives as long as one handle does.
    } else if (s.verb == "cancel") {
      PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)FindControl(w, IDCANCEL));
    } else if (s.verb == "press") {
      HWND b = FindControl(w, (unsigned)s.id);
      if (!b || !IsWindowVisible(b)) {
        PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return "no visible control " + std::to_string(s.id) + " to press; cancelled instead";
      }
      PostMessageW(w, WM_COMMAND, MAKEWPARAM(s.id, BN_CLICKED), (LPARAM)b);
    } else if (s.verb == "set") {
      HWND c = FindControl(w, (unsigned)s.id);
      if (!c) return "no control " + std::to_string(s.id) + " to set";
      int n = MultiByteToWideChar(CP_UTF8, 0, s.text.c_str(), -1, nullptr, 0);
      std::vector<wchar_t> t(n > 0 ? n : 1, 0);
      MultiByteToWideChar(CP_UTF8, 0, s.text.c_str(), -1, t.data(), n);
      DWORD_PTR r = 0;
      if (!SendMessageTimeoutW(c, WM_SETTEXT, 0, (LPARAM)t.data(), SMTO_ABORTIFHUNG, 2000, &r))
        return "setting control " + std::to_string(s.id) + " timed out";
    }
  }
  return "";
}

// ---------------------------------------------------------------- processes

struct EnumState {
  std::set<DWORD> pids;
  std::vector<HWND>* out;
};

BOOL CALLBACK CollectWindow(HWND w, LPARAM lp) {
  EnumState* st = (EnumState*)lp;
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (st->pids.count(pid) && IsWindowVisible(w)) st->out->push_back(w);
  return TRUE;
}

// The program's visible top-level window with exactly this caption.
HWND FindProgramWindow(DWORD pid, const std::string& caption) {
  std::vector<HWND> all;
  EnumState st{{pid}, &all};
  EnumWindows(CollectWindow, (LPARAM)&st);
  for (HWND w : all)
    if (Utf8(TextOf(w)) == caption) return w;
  return nullptr;
}

// Asks a watched window to answer WM_NULL and records how long that took,
// whether the system takes it for hung, and its static texts.
void Ping(HWND w) {
  DWORD sent = GetTickCount();
  DWORD_PTR r = 0;
  BOOL answered = SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &r) != 0;
  DWORD took = GetTickCount() - sent;
  if (!IsWindow(w)) return;  // it went meanwhile: no answer to record
  std::string texts;
  for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (lstrcmpiW(ClassOf(c).c_str(), L"Static")) continue;
    unsigned id = ControlId(c);
    if (id == 0xFFFF) continue;
    if (!texts.empty()) texts += ",";
    texts += Json(std::to_string(id)) + ":" + Json(Utf8(TextOf(c)));
  }
  char head[64];
  snprintf(head, sizeof head, "\"sent_ms\":%lu,", (unsigned long)(sent - g_start));
  Emit("ping", std::string(head) + "\"hwnd\":" + Hex((UINT_PTR)w) + ",\"reply_ms\":" +
                   (answered ? std::to_string(took) : std::string("null")) +
                   ",\"hung\":" + (IsHungAppWindow(w) ? "true" : "false") + ",\"texts\":{" + texts + "}");
}

struct Child {
  HANDLE handle = nullptr;
  std::string exe;
  bool reported = false;
};

// The file name of a process's image; empty while the process is still
// being set up.
std::string ImageName(HANDLE process) {
  char path[MAX_PATH] = {0};
  DWORD size = MAX_PATH;
  if (!process || !QueryFullProcessImageNameA(process, 0, path, &size)) return "";
  const char* base = strrchr(path, '\\');
  return base ? base + 1 : path;
}

// The programs whose windows are driven: the program, and with follow=1
// the programs started by any of them.
std::set<DWORD> g_driven;

// Records the processes that a driven program started (with `follow`, they
// are driven from then on, and so are theirs). A child caught in the middle
// of its creation has no image name yet; it is reported once it has one, or
// at the end with whatever is known.
void ScanChildren(bool follow, std::map<DWORD, Child>* children, bool final) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap != INVALID_HANDLE_VALUE) {
    PROCESSENTRY32 pe;
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe)) {
      if (!g_driven.count(pe.th32ParentProcessID)) continue;
      Child& c = (*children)[pe.th32ProcessID];
      if (!c.handle)
        c.handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               pe.th32ProcessID);
      if (c.exe.empty()) c.exe = pe.szExeFile;
      if (follow) g_driven.insert(pe.th32ProcessID);
    }
    CloseHandle(snap);
  }
  for (auto& kv : *children) {
    Child& c = kv.second;
    if (c.reported) continue;
    if (c.exe.empty()) c.exe = ImageName(c.handle);
    if (c.exe.empty() && !final) continue;
    c.reported = true;
    Emit("child", "\"pid\":" + std::to_string(kv.first) + ",\"exe\":" + Json(c.exe, true));
  }
}

struct Seen {
  DWORD since;
  bool handled;
  std::string cls, caption;  // as first seen, for a window that vanishes
};

// Windows of the driven programs seen so far. Besides the polling of
// EnumWindows, a WinEvent hook reports each window the moment it is shown, so
// that one that is up for only a few milliseconds (a window of a run that
// ends right away) is still recorded, with the class and caption it had.
std::map<HWND, Seen>* g_seen = nullptr;

void Notice(HWND w) {
  if (!g_seen || g_seen->count(w)) return;
  (*g_seen)[w] = Seen{GetTickCount(), false, Utf8(ClassOf(w)), Utf8(TextOf(w))};
}

void CALLBACK OnShow(HWINEVENTHOOK, DWORD, HWND w, LONG object, LONG child, DWORD, DWORD) {
  if (object != OBJID_WINDOW || child != CHILDID_SELF || !w) return;
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (g_driven.count(pid) && GetAncestor(w, GA_PARENT) == GetDesktopWindow()) Notice(w);
}

int Run(const Job& job) {
  std::string cmd = "\"" + job.exe + "\"";
  if (job.haveArgs) cmd += " " + job.args;
  if (job.haveCmdline) cmd = job.cmdline;
  std::vector<char> cmdBuf(cmd.begin(), cmd.end());
  cmdBuf.push_back('\0');

  // The program inherits the driver's environment, with the job's changes.
  for (const auto& var : job.env) SetEnvironmentVariableA(var.first.c_str(), var.second.c_str());

  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  g_start = GetTickCount();
  if (!CreateProcessA(job.exe.c_str(), cmdBuf.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      job.cwd.empty() ? nullptr : job.cwd.c_str(), &si, &pi)) {
    Emit("error", "\"what\":" + Json("CreateProcess failed, error " + std::to_string(GetLastError())));
    return 2;
  }
  std::map<HWND, Seen> seen;
  g_driven = {pi.dwProcessId};
  g_seen = &seen;
  // Followed programs are not known in advance: the hook then hears every
  // process, and OnShow picks the driven ones.
  HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_SHOW, EVENT_OBJECT_SHOW, nullptr, OnShow,
                                       job.follow ? 0 : pi.dwProcessId, 0, WINEVENT_OUTOFCONTEXT);
  Emit("start", "\"pid\":" + std::to_string(pi.dwProcessId) + ",\"cmdline\":" + Json(cmd, true) +
                    ",\"show_hook\":" + (hook ? "true" : "false"));
  ResumeThread(pi.hThread);
  std::map<DWORD, Child> children;
  size_t nextAnswer = 0;
  int shotIndex = 0;
  bool timedOut = false;
  DWORD lastPing = 0;
  bool ended = false;

  for (;;) {
    DWORD wake = MsgWaitForMultipleObjects(ended ? 0 : 1, &pi.hProcess, FALSE, 15, QS_ALLINPUT);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    if (!ended && wake == WAIT_OBJECT_0) {
      if (!job.follow) break;
      ended = true;
    }
    if (Elapsed() > job.timeoutMs) {
      timedOut = true;
      break;
    }
    ScanChildren(job.follow, &children, false);
    if (ended) {  // followed programs: on until the last of them has ended
      bool running = false;
      for (auto& kv : children)
        running = running || (kv.second.handle && WaitForSingleObject(kv.second.handle, 0) == WAIT_TIMEOUT);
      if (!running) break;
    }

    std::vector<HWND> now;
    EnumState st{g_driven, &now};
    EnumWindows(CollectWindow, (LPARAM)&st);
    for (HWND w : now) Notice(w);

    if (!job.ping.empty() && GetTickCount() - lastPing >= 100) {
      lastPing = GetTickCount();
      for (HWND w : now)
        for (const std::string& caption : job.ping)
          if (Utf8(TextOf(w)) == caption) Ping(w);
    }

    for (auto it = seen.begin(); it != seen.end();) {
      if (!IsWindow(it->first) || !IsWindowVisible(it->first)) {
        if (!it->second.handled)
          Emit("gone", "\"hwnd\":" + Hex((UINT_PTR)it->first) + ",\"class\":" + Json(it->second.cls) +
                           ",\"caption\":" + Json(it->second.caption));
        it = seen.erase(it);
      } else {
        ++it;
      }
    }

    // Read the windows in the order they appeared.
    for (;;) {
      HWND next = nullptr;
      DWORD since = 0;
      for (auto& kv : seen)
        if (!kv.second.handled && GetTickCount() - kv.second.since >= job.settleMs &&
            (!next || kv.second.since < since)) {
          next = kv.first;
          since = kv.second.since;
        }
      if (!next) break;
      Seen& first = seen[next];
      first.handled = true;
      // Let the program finish painting before its window is read.
      DWORD owner = 0;
      GetWindowThreadProcessId(next, &owner);
      auto child = children.find(owner);
      HANDLE process = owner == pi.dwProcessId ? pi.hProcess : child != children.end() ? child->second.handle : nullptr;
      WaitForInputIdle(process, 1000);
      StepContext ctx{owner, process, &job, &shotIndex};
      std::string fields = Describe(next);
      if (!IsWindow(next)) {  // it went while it was being read
        Emit("gone", "\"hwnd\":" + Hex((UINT_PTR)next) + ",\"class\":" + Json(first.cls) +
                         ",\"caption\":" + Json(first.caption));
        continue;
      }
      if (job.windowShots && !job.shots.empty()) {
        RECT r;
        Picture pic;
        GetWindowRect(next, &r);
        char name[32];
        snprintf(name, sizeof name, "window-%02d.bmp", ++shotIndex);
        std::string path = job.shots + "\\" + name;
        if (CaptureScreen(r, &pic) && SaveBmp(path, pic)) fields += ",\"shot\":" + Json(name);
      }
      static const Answer kLeave{Step{"leave", 0, ""}};
      bool left = false;
      for (const std::string& caption : job.leave)
        left = left || first.caption == caption || Utf8(TextOf(next)) == caption;
      bool scripted = !left && nextAnswer < job.answers.size();
      const Answer& answer = left ? kLeave : scripted ? job.answers[nextAnswer++] : job.fallback;
      std::string steps;
      for (const Step& s : answer) steps += (steps.empty() ? "" : ",") + Json(StepText(s));
      std::string error = Perform(next, answer, ctx);
      fields += ",\"answer\":[" + steps + "],\"scripted\":" + (scripted || left ? "true" : "false");
      if (!error.empty()) fields += ",\"error\":" + Json(error);
      Emit("window", fields);
    }
  }

  // Events that came in while the program was ending.
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
  for (auto& kv : seen)
    if (!kv.second.handled)
      Emit("gone", "\"hwnd\":" + Hex((UINT_PTR)kv.first) + ",\"class\":" + Json(kv.second.cls) +
                       ",\"caption\":" + Json(kv.second.caption));
  if (hook) UnhookWinEvent(hook);
  g_seen = nullptr;

  if (timedOut) {
    std::string fields = "\"limit_ms\":" + std::to_string(job.timeoutMs);
    Picture screen;
    RECT all = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (!job.shots.empty() && CaptureScreen(all, &screen) && SaveBmp(job.shots + "\\timeout.bmp", screen))
      fields += ",\"shot\":\"timeout.bmp\"";
    Emit("timeout", fields);
    TerminateProcess(pi.hProcess, 0xDEAD);
    WaitForSingleObject(pi.hProcess, 5000);
    if (job.follow) {
      ScanChildren(true, &children, false);
      for (auto& kv : children) {
        HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, kv.first);
        if (h && TerminateProcess(h, 0xDEAD)) WaitForSingleObject(h, 5000);
        if (h) CloseHandle(h);
      }
    }
  }
  ScanChildren(job.follow, &children, false);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  DWORD exitAt = Elapsed();

  // Programs it started run on their own; wait for them so that what they
  // leave behind is complete when the transcript ends.
  for (auto& kv : children) {
    if (!kv.second.handle) continue;
    // Give a child caught early a moment to get its name.
    for (int i = 0; i < 50 && kv.second.exe.empty(); ++i) {
      Sleep(10);
      ScanChildren(job.follow, &children, false);
    }
    DWORD left = job.childWaitMs > Elapsed() - exitAt ? job.childWaitMs - (Elapsed() - exitAt) : 0;
    std::string fields = "\"pid\":" + std::to_string(kv.first);
    if (WaitForSingleObject(kv.second.handle, left) == WAIT_OBJECT_0) {
      DWORD cc = 0;
      GetExitCodeProcess(kv.second.handle, &cc);
      fields += ",\"code\":" + std::to_string(cc);
    } else {
      fields += ",\"code\":null,\"still_running\":true";
    }
    if (!kv.second.reported) ScanChildren(job.follow, &children, true);
    Emit("child_exit", fields);
    CloseHandle(kv.second.handle);
  }

  Emit("exit", "\"code\":" + std::to_string(code) + ",\"exit_ms\":" + std::to_string(exitAt) +
                   ",\"terminated\":" + (timedOut ? "true" : "false"));
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return timedOut ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: uidriver JOBFILE\n");
    return 2;
  }
  Job job;
  std::string error;
  if (!ReadJob(argv[1], &job, &error)) {
    fprintf(stderr, "uidriver: %s\n", error.c_str());
    return 2;
  }
  g_out = fopen(job.transcript.c_str(), "wb");
  if (!g_out) {
    fprintf(stderr, "uidriver: cannot write %s\n", job.transcript.c_str());
    return 2;
  }
  int rc = Run(job);
  fclose(g_out);
  return rc;
}
