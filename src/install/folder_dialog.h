// The modal dialog in which the user types, or browses to, the client folder.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

class FolderDialog final : public platform::dialog::Client {
 public:
  /*! ShowModal() :
   *  Shows the dialog on `folder` (260 bytes): it opens with the folder's
   *  text, Browse writes the chosen folder into it, and OK reads the edit box
   *  into it and creates that folder with its missing parents.
   *  @return : 1 after OK (the folder exists), 2 after Cancel, Escape or the
   *            close box, -1 when the dialog cannot be shown. */
  intptr_t ShowModal(char* folder);

  bool OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam,
                 intptr_t& result) override;

 private:
  void OnInitDialog();
  void OnBrowse(int controlId);
  void OnCloseCommand(int controlId);

  char* folder_ = nullptr;
};

/*! EnsureFolderExists() :
 *  Creates `path` and its missing parents, outermost first. Only '\'
 *  separates folders. @return : true when the folder exists afterwards. */
bool EnsureFolderExists(const char* path);
