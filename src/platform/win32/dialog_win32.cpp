// The window glue: binds a dialog window to its dialog::Client.
//
// Before a dialog is created, its client is registered for the current
// thread; the first message that reaches the start procedure (which comes
// before WM_INITDIALOG, e.g. WM_SETFONT) takes the registration, stores the
// window handle in the client and in the window, and swaps in the bound
// procedure, which serves every later message.
#include <windows.h>

#include "platform/platform.h"

namespace platform {
namespace dialog {
namespace {

struct Registration {
  DWORD thread;
  Client* client;
  Registration* next;
};

// The list is only touched between registering and the first message, on one
// thread; the lock keeps it sound should a second thread ever make dialogs.
CRITICAL_SECTION g_lock;
bool g_lockReady;
Registration* g_pending;

void Register(Registration* entry, Client* client) {
  if (!g_lockReady) {
    InitializeCriticalSection(&g_lock);
    g_lockReady = true;
  }
  entry->thread = GetCurrentThreadId();
  entry->client = client;
  EnterCriticalSection(&g_lock);
  entry->next = g_pending;
  g_pending = entry;
  LeaveCriticalSection(&g_lock);
}

Client* TakeRegistration() {
  Client* client = nullptr;
  EnterCriticalSection(&g_lock);
  for (Registration** link = &g_pending; *link; link = &(*link)->next) {
    if ((*link)->thread == GetCurrentThreadId()) {
      client = (*link)->client;
      *link = (*link)->next;
      break;
    }
  }
  LeaveCriticalSection(&g_lock);
  return client;
}

// A registration that no message took (the dialog could not be created)
// must not be picked up by the next dialog of the thread.
void DropRegistration(Registration* entry) {
  EnterCriticalSection(&g_lock);
  for (Registration** link = &g_pending; *link; link = &(*link)->next) {
    if (*link == entry) {
      *link = entry->next;
      break;
    }
  }
  LeaveCriticalSection(&g_lock);
}

INT_PTR CALLBACK BoundProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Client* client = reinterpret_cast<Client*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (!client) return FALSE;
  intptr_t result = 0;
  bool handled = client->OnMessage(message, wParam, lParam, result);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, DWLP_USER, 0);
    client->window = nullptr;
    client->OnFinalMessage();
    return FALSE;
  }
  if (!handled) return FALSE;
  if (message == WM_INITDIALOG) return static_cast<INT_PTR>(result);
  SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
  return TRUE;
}

INT_PTR CALLBACK StartProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Client* client = TakeRegistration();
  if (!client) return FALSE;
  client->window = hwnd;
  SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(client));
  SetWindowLongPtrA(hwnd, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(&BoundProc));
  return BoundProc(hwnd, message, wParam, lParam);
}

HINSTANCE Instance() { return static_cast<HINSTANCE>(session::ModuleInstance()); }

}  // namespace

Window CreateModeless(int templateId, Client* client) {
  Registration entry;
  Register(&entry, client);
  HWND hwnd = CreateDialogParamA(Instance(), MAKEINTRESOURCEA(templateId), nullptr, StartProc, 0);
  DropRegistration(&entry);
  return hwnd;
}

intptr_t ShowModal(int templateId, Window owner, Client* client) {
  Registration entry;
  Register(&entry, client);
  INT_PTR result = DialogBoxParamA(Instance(), MAKEINTRESOURCEA(templateId),
                                   static_cast<HWND>(owner), StartProc, 0);
  DropRegistration(&entry);
  return result;
}

void End(Window dialog, intptr_t result) { EndDialog(static_cast<HWND>(dialog), result); }
void SetText(Window window, const char* text) { SetWindowTextA(static_cast<HWND>(window), text); }
void SetItemText(Window dialog, int itemId, const char* text) {
  SetWindowTextA(GetDlgItem(static_cast<HWND>(dialog), itemId), text);
}
uint32_t GetItemText(Window dialog, int itemId, char* buffer, uint32_t capacity) {
  if (capacity == 0) return 0;
  buffer[0] = '\0';
  UINT n = GetDlgItemTextA(static_cast<HWND>(dialog), itemId, buffer, capacity);
  buffer[capacity - 1] = '\0';
  return n;
}
intptr_t SendItem(Window dialog, int itemId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return SendDlgItemMessageA(static_cast<HWND>(dialog), itemId, message, wParam, lParam);
}
void Show(Window window) { ShowWindow(static_cast<HWND>(window), SW_SHOW); }
Window Active() { return GetActiveWindow(); }

}  // namespace dialog
}  // namespace platform
