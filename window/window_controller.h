#pragma once
// The main window's behaviour, apart from any toolkit: the start-up sequence, device arrival and
// removal, the click guard and the keys, the titles and texts, and the host of the upgrade job.
// A view (Qt's dialog, Win32's dialog, a test's fake) owns the widgets and paints; it hands its
// events here and shows what it is told.
//
// Threads. Every call here comes on the GUI thread. Once the window is shown the GUI thread never
// waits on USB: an arrival's version query runs on a worker of its own (or, while a job holds the
// link, on the job's thread once the job has let go of it), and its result comes back through the
// GuiQueue. Closing cancels what is in flight and joins every worker.
//
// Device events. A removal applies at once, also while a message box is open, and makes every
// older arrival stale: a stale arrival is dropped, and so is the result of its query. Arrivals
// that come while a query runs are folded into one more query after it.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "link/usb_link.h"
#include "upgrade/upgrader.h"
#include "window/device_notification.h"
#include "window/gui_queue.h"
#include "window/window_host.h"
#include "window/window_view.h"

namespace torv2::window {

inline constexpr char kMsgModulePathFailed[] = "GetModuleFileName Failed!";

struct WindowOptions {
  link::LinkTimeouts linkTimeouts{};
  upgrade::UpgraderTimings timings{};  // the wait after a reset at start-up
  // Where the carried images are read from; unset: this program's own executable.
  std::optional<std::string> modulePath;
  // Registers for device arrival and removal at the end of start-up; unset: no events come.
  RegisterDeviceNotification registerDeviceNotification;
  // Told of each status check and upgrade attempt (the history); may be null.
  upgrade::AttemptObserver* attempts = nullptr;
  // Told of the same after `attempts` (the log file a person reads afterwards); may be null.
  upgrade::AttemptObserver* attemptLog = nullptr;
};

// Hands each attempt to two observers in turn, skipping a null one.
class AttemptObservers final : public upgrade::AttemptObserver {
 public:
  AttemptObservers(upgrade::AttemptObserver* first, upgrade::AttemptObserver* second)
      : first_(first), second_(second) {}
  void AttemptBegan(const upgrade::Attempt& attempt) override;
  void AttemptEnded(const upgrade::Attempt& attempt) override;

 private:
  upgrade::AttemptObserver* first_;
  upgrade::AttemptObserver* second_;
};

// The caption of the program's message boxes: the executable's file name without its extension.
std::string ProgramName(std::string_view executablePath);

class WindowController {
 public:
  // `transport` reaches the programmer; it, `view` and `queue` must outlive the controller, which
  // shuts down (Shutdown()) when it is destroyed.
  WindowController(WindowView& view, GuiQueue& queue, link::UsbTransport& transport,
                   WindowOptions options = {});
  ~WindowController();
  WindowController(const WindowController&) = delete;
  WindowController& operator=(const WindowController&) = delete;

  // The start-up sequence, before the window is first shown: the carried images, one exchange
  // with the device, the title and the button, the device notifications. `caption` is the
  // template's window title, to which every later title adds its suffix.
  void Start(std::string_view caption);

  // The Update button: starts the upgrade job unless one runs or the window is closing. The one
  // guard of both ways to start a job; a view forwards the click or the key and checks nothing.
  void StartJob();
  // A key pressed in the window (not an Alt combination, which goes to the system menu). No key
  // reaches the window's controls: Enter, Escape and Tab do nothing. Space alone acts, as a click
  // of Update when no job runs, even while the button is disabled. Returns true: swallow the key.
  bool KeyDown(bool space);
  // A device arrived or was removed. The registration's events come here through the GUI queue.
  void DeviceChanged(link::DeviceEvent event);
  // The close box: cancels and joins whatever runs, closes any open modal, ends the window.
  void Close();
  // Stops everything without ending the window: no more device events, the job and the version
  // query cancelled and joined, the GUI queue closed with what it still held. Nothing waits for
  // the window afterwards, so the view may take it down. Called by Close(), by the destructor,
  // and by a view whose loop has ended; idempotent.
  void Shutdown();

  upgrade::Upgrader& upgrader() { return *upgrader_; }
  WindowHost& host() { return host_; }

 private:
  void ShowUsbConnected();
  void ShowUsbDisconnected();
  void RegisterUsbNotification();
  // A device event from the registration, on any thread: taken over to the GUI thread.
  void PostDeviceChange(link::DeviceEvent event);
  void StartVersionQuery();
  void VersionQueryDone(unsigned removalsSeen, bool usable);

  WindowView& view_;
  GuiQueue& queue_;
  WindowOptions options_;
  WindowHost host_;
  AttemptObservers observers_;
  link::UsbLink link_;
  std::unique_ptr<upgrade::Upgrader> upgrader_;
  std::unique_ptr<DeviceNotification> notification_;
  std::string caption_;

  bool closing_ = false;
  bool shutDown_ = false;
  bool queryRunning_ = false;    // an arrival's version query has not reported back yet
  bool arrivalPending_ = false;  // an arrival came while it ran
  std::atomic<unsigned> removals_{0};
  std::thread query_;
};

}  // namespace torv2::window
