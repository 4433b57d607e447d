#pragma once
// What the window's core asks of a view (the Qt dialog, the Win32 dialog, a test's fake): the
// visible state, the modal dialogs and the end of the window. Every call comes on the GUI thread;
// texts are UTF-8.

#include <string_view>

#include "link/progress_sink.h"
#include "upgrade/upgrade_report.h"

namespace torv2::window {

// Message boxes of the program carry the exclamation icon; those of the image loaders carry none.
enum class MessageIcon { None, Exclamation };

class WindowView {
 public:
  virtual ~WindowView() = default;

  virtual void SetTitle(std::string_view title) = 0;
  // The carried version's label, and the device's.
  virtual void SetUpgradeVersionText(std::string_view text) = 0;
  virtual void SetCurrentVersionText(std::string_view text) = 0;
  virtual void EnableUpdate(bool enabled) = 0;  // the Update button
  // A modal message box with one OK button; returns once it is dismissed. `details` (empty when
  // there are none) says why, and what to do, in lines of their own; the box shows them beside
  // `text`, which stays as it is.
  virtual void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon,
                           std::string_view details) = 0;
  // The result dialog, modal over the window; returns once it is closed.
  virtual void ShowResult(const upgrade::UpgradeReport& report) = 0;
  // Closes any message box or result dialog the window has open and ends the window's loop.
  virtual void End() = 0;
  // The progress bar. A new percentage repaints the bar before the call returns whenever the
  // filled width changes; a label with a changed show flag repaints it later.
  virtual link::ProgressSink& ProgressBar() = 0;
};

}  // namespace torv2::window
