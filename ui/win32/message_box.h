#pragma once
// The program's message boxes on Win32: a task dialog (comctl32 version 6, which the program's
// manifest asks for) with the text as its content and the details (why, and what to do) behind
// its "Show details" button; where no task dialog is to be had (an older comctl32), a plain
// message box with the details under the text.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace torv2::win32 {

// What a box put on the screen, told once it is up (for the window tests).
struct ShownMessage {
  bool taskDialog = false;  // false: the plain message box
  std::wstring text;        // the content, or the plain box's whole text
  std::wstring details;     // the task dialog's expanded information; empty for a plain box
};
using MessageShown = std::function<void(const ShownMessage&)>;

struct MessageBoxRequest {
  std::string_view text;  // UTF-8, shown as it is
  std::string_view caption;
  std::string_view details;  // may be empty
  bool exclamation = false;
  bool allowTaskDialog = true;  // false: always the plain box
};

// Modal over `owner`; returns once the box is dismissed (also by WM_CLOSE).
void ShowMessageBox(HWND owner, const MessageBoxRequest& request, const MessageShown& shown = {});

// The plain box's text: the message, a blank line, then the details.
std::wstring PlainBoxText(std::string_view text, std::string_view details);

}  // namespace torv2::win32
