#pragma once
// The main window over Win32 (dialog template 102): the dialog procedure, the keyboard filter, the
// icon and the modal dialogs. What the window does (start-up, device events, the job, the texts)
// is the WindowController's; the device events reach it through the registration in its options
// (device_notification.h).
//
// DoModal runs the dialog's own message loop, so every key press meant for the dialog or its
// controls passes PreTranslateMessage first. The loop ends through the close box or at the end of
// a completed job.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ui/win32/gui_thread_queue.h"
#include "ui/win32/text_progress_ctrl.h"
#include "ui/win32/upgrade_result_dlg.h"
#include "window/window_controller.h"

namespace torv2::win32 {

struct UpgraderDlgOptions {
  window::WindowOptions window{};
  // Test builds only: told, on the GUI thread, what the window shows ("title ...", "message ...",
  // "result ...", "bar POSITION FILLED TEXT" for every paint of the bar, "end").
  std::function<void(std::string_view)> journal;
};

}  // namespace torv2::win32

class CZARN_TORV2_UpgraderDlg final : private torv2::window::WindowView {
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
  INT_PTR HandleMessage(UINT message, WPARAM wParam);

  BOOL OnInitDialog();
  void OnBnClickedUpdate();
  bool PreTranslateMessage(MSG& message);
  void OnClose();
  void OnPaint();
  void Journal(std::string_view line) const;

  // What the controller asks of the window: the modal dialogs and the end of its loop,
  void ShowMessage(std::string_view text, std::string_view caption,
                   torv2::window::MessageIcon icon) override;
  void ShowResult(const torv2::upgrade::UpgradeReport& report) override;
  void End() override;
  // and the controls' state.
  void SetTitle(std::string_view title) override;
  void EnableUpdate(bool enabled) override;
  void SetUpgradeVersionText(std::string_view text) override;
  void SetCurrentVersionText(std::string_view text) override;
  torv2::link::ProgressSink& ProgressBar() override { return m_progress; }

  std::function<void(std::string_view)> journal_;
  HWND m_hWnd = nullptr;
  HICON m_hIcon = nullptr;
  HICON m_hSmallIcon = nullptr;
  CTextProgressCtrl m_progress;
  std::unique_ptr<CUpgradeResultDlg> m_pResultDlg;
  torv2::win32::GuiThreadQueue queue_;
  std::unique_ptr<torv2::window::WindowController> controller_;
  bool ended_ = false;
};
