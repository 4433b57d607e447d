#pragma once
// The main window over Win32 (dialog template 102): the dialog procedure, the keyboard filter, the
// icon and the modal dialogs. What the window does (start-up, device events, the job, the texts)
// is the WindowController's: the program makes the dialog, a controller over it and its queue
// (with the system's device notifications, device_notification.h), and runs the one over the
// other.
//
// DoModal runs the dialog's own message loop, so every key press meant for the dialog or its
// controls passes PreTranslateMessage first. The loop ends through the close box or at the end of
// a completed job.

#include <windows.h>

#include <memory>
#include <string_view>

#include "ui/win32/gui_thread_queue.h"
#include "ui/win32/message_box.h"
#include "ui/win32/text_progress_ctrl.h"
#include "ui/win32/upgrade_result_dlg.h"
#include "window/window_controller.h"

class CZARN_TORV2_UpgraderDlg final : public torv2::window::WindowView {
 public:
  CZARN_TORV2_UpgraderDlg() = default;  // on the thread that is to run the window
  ~CZARN_TORV2_UpgraderDlg() override;
  CZARN_TORV2_UpgraderDlg(const CZARN_TORV2_UpgraderDlg&) = delete;
  CZARN_TORV2_UpgraderDlg& operator=(const CZARN_TORV2_UpgraderDlg&) = delete;

  // The window's GUI queue, for the controller.
  torv2::window::GuiQueue& queue() { return queue_; }
  // Creates the window (OnInitDialog starts `controller` before the window is first shown) and
  // runs its loop until the window is closed or a completed job ends it; then shuts `controller`
  // down. The window itself goes with the dialog. IDOK, or -1 when the window cannot be made.
  INT_PTR DoModal(torv2::window::WindowController& controller);

  CTextProgressCtrl& progressBar() { return m_progress; }
  // While the window is up.
  const CUpgradeResultDlg* resultDialog() const { return m_pResultDlg.get(); }

  // Told what each message box shows once it is up (the window tests).
  torv2::win32::MessageShown onMessageShown;
  // false: plain message boxes, as where comctl32 has no task dialog (the window tests).
  bool allowTaskDialog = true;

 private:
  static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
  INT_PTR HandleMessage(UINT message, WPARAM wParam);

  BOOL OnInitDialog();
  void OnBnClickedUpdate();
  bool PreTranslateMessage(MSG& message);
  void OnClose();
  void OnPaint();

  // What the controller asks of the window: the modal dialogs and the end of its loop,
  void ShowMessage(std::string_view text, std::string_view caption, torv2::window::MessageIcon icon,
                   std::string_view details) override;
  void ShowResult(const torv2::upgrade::UpgradeReport& report) override;
  void End() override;
  // and the controls' state.
  void SetTitle(std::string_view title) override;
  void EnableUpdate(bool enabled) override;
  void SetUpgradeVersionText(std::string_view text) override;
  void SetCurrentVersionText(std::string_view text) override;
  torv2::link::ProgressSink& ProgressBar() override { return m_progress; }

  HWND m_hWnd = nullptr;
  HICON m_hIcon = nullptr;
  HICON m_hSmallIcon = nullptr;
  CTextProgressCtrl m_progress;
  std::unique_ptr<CUpgradeResultDlg> m_pResultDlg;
  torv2::win32::GuiThreadQueue queue_;
  torv2::window::WindowController* controller_ = nullptr;  // while DoModal runs
  bool ended_ = false;
};
