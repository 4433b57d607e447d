#pragma once
// The main window (dialog template 102): the carried version and the device's, the connection
// state in the title, the Update button and the progress bar. It runs the start-up sequence (load
// the images, talk to the device once, register for the programmer's arrival and removal),
// follows the device, filters the keyboard, and hosts the upgrade job, which runs on a worker
// thread of its own and reaches the window only through the WindowHost.
//
// DoModal runs the dialog's own message loop, so every key press meant for the dialog or its
// controls passes PreTranslateMessage first: none reaches them, and space starts a job when none
// runs. The loop ends through the close box (which cancels and joins a running job first) or at
// the end of a completed job.

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/usb_link.h"
#include "ui/win32/gui_thread_queue.h"
#include "ui/win32/text_progress_ctrl.h"
#include "ui/win32/upgrade_result_dlg.h"
#include "ui/win32/window_host.h"
#include "upgrade/upgrader.h"

namespace torv2::win32 {

// The title suffixes: U+3000 is the ideographic space, U+00A7 the section sign.
inline constexpr wchar_t kTitleConnected[] = L"\u3000\u3000\u3000\u00A7 USB OK \u00A7";
inline constexpr wchar_t kTitleDisconnected[] = L"\u3000\u00A7 USB UnConn \u00A7";

struct UpgraderDlgOptions {
  link::LinkTimeouts linkTimeouts{};
  upgrade::UpgraderTimings timings{};
  // Where the carried images are read from; unset: this program's own executable.
  std::optional<std::string> modulePath;
  // Test builds only: told, on the GUI thread, what the window shows ("title ...", "message ...",
  // "result ...", "end").
  std::function<void(std::string_view)> journal;
};

}  // namespace torv2::win32

class CZARN_TORV2_UpgraderDlg final : private torv2::win32::WindowActions {
 public:
  // `transport` reaches the programmer; it must outlive the dialog.
  explicit CZARN_TORV2_UpgraderDlg(torv2::link::UsbTransport& transport,
                                   torv2::win32::UpgraderDlgOptions options = {});
  ~CZARN_TORV2_UpgraderDlg() override;
  CZARN_TORV2_UpgraderDlg(const CZARN_TORV2_UpgraderDlg&) = delete;
  CZARN_TORV2_UpgraderDlg& operator=(const CZARN_TORV2_UpgraderDlg&) = delete;

  // Creates the window (OnInitDialog runs before it is first shown) and runs its loop until the
  // window is closed or a completed job ends it. IDOK, or -1 when the window cannot be made.
  INT_PTR DoModal();

 private:
  static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  BOOL OnInitDialog();
  void OnBnClickedUpdate();
  void OnDeviceChange(WPARAM event, LPARAM data);
  bool PreTranslateMessage(MSG& message);
  void OnClose();
  void OnPaint();
  void ShowUsbConnected();
  void ShowUsbDisconnected();
  void RegisterUsbNotification();
  void SetTitle(const std::wstring& title);
  void Journal(std::string_view line) const;

  // What the upgrade's host asks of the window, on the GUI thread.
  void ShowMessageBox(const std::string& text, const std::string& caption) override;
  void RunResultDialog(const torv2::upgrade::UpgradeReport& report) override;
  void SetUpdateButtonEnabled(bool enabled) override;
  void SetCurrentVersionText(const std::string& text) override;
  void EndMainDialog() override;

  torv2::win32::UpgraderDlgOptions options_;
  HWND m_hWnd = nullptr;
  HICON m_hIcon = nullptr;
  HICON m_hSmallIcon = nullptr;
  CTextProgressCtrl m_progress;
  std::wstring m_strTitle;
  std::unique_ptr<CUpgradeResultDlg> m_pResultDlg;
  HDEVNOTIFY notification_ = nullptr;

  torv2::win32::GuiThreadQueue queue_;
  torv2::win32::ProgressRelay progress_{m_progress, queue_};
  torv2::win32::WindowHost host_;
  torv2::link::UsbLink link_;
  std::unique_ptr<torv2::upgrade::Upgrader> upgrader_;

  bool ended_ = false;
  bool closing_ = false;
  std::atomic<unsigned> removals_{0};  // an arrival older than the last removal is stale
};
