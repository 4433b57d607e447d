#include "ui/win32/upgrader_dlg.h"

#include <algorithm>
#include <iterator>

#include "ui/win32/resource.h"
#include "win32/wide_text.h"
#include "window/appearance.h"

namespace {

using torv2::win32::Utf8FromWide;
using torv2::win32::WideFromUtf8;

// The width `text` takes in `control`'s font, in pixels.
int TextWidth(HWND control) {
  wchar_t text[64] = {};
  const int length = GetWindowTextW(control, text, static_cast<int>(std::size(text)));
  const HDC dc = GetDC(control);
  if (dc == nullptr) return 0;
  const auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  const HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
  SIZE size{};
  GetTextExtentPoint32W(dc, text, length, &size);
  if (old != nullptr) SelectObject(dc, old);
  ReleaseDC(control, dc);
  return size.cx;
}

// The version labels as wide as their text takes in the font the system gave the dialog (Wine's
// is wider than the one the template was drawn for), and the versions moved to the right of the
// wider one.
void FitVersionLabels(HWND dialog) {
  const HWND labels[] = {GetDlgItem(dialog, IDC_UPGRADE_LABEL),
                         GetDlgItem(dialog, IDC_CURRENT_LABEL)};
  const HWND values[] = {GetDlgItem(dialog, IDC_UPGRADE_VERSION),
                         GetDlgItem(dialog, IDC_CURRENT_VERSION)};
  RECT gap{0, 0, 2, 0};  // two dialog units between a label and its value
  MapDialogRect(dialog, &gap);
  int right = 0;
  for (const HWND label : labels) {
    if (label == nullptr) return;
    RECT r;
    GetWindowRect(label, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    const int width = std::max<int>(r.right - r.left, TextWidth(label) + 1);
    SetWindowPos(label, nullptr, 0, 0, width, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    right = std::max<int>(right, r.left + width);
  }
  for (const HWND value : values) {
    if (value == nullptr) return;
    RECT r;
    GetWindowRect(value, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    if (r.left < right + gap.right) {
      SetWindowPos(value, nullptr, right + gap.right, r.top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
}

BOOL CALLBACK CloseOwnedWindow(HWND window, LPARAM owner) {
  if (GetWindow(window, GW_OWNER) == reinterpret_cast<HWND>(owner)) {
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  return TRUE;
}

}  // namespace

CZARN_TORV2_UpgraderDlg::~CZARN_TORV2_UpgraderDlg() {
  if (m_hWnd) DestroyWindow(m_hWnd);
  if (m_hIcon) DestroyIcon(m_hIcon);
  if (m_hSmallIcon) DestroyIcon(m_hSmallIcon);
}

INT_PTR CZARN_TORV2_UpgraderDlg::DoModal(torv2::window::WindowController& controller) {
  controller_ = &controller;
  m_hWnd = CreateDialogParamW(GetModuleHandleW(nullptr),
                              MAKEINTRESOURCEW(IDD_ZARN_TORV2_UPGRADER_DIALOG), nullptr,
                              &DialogProc, reinterpret_cast<LPARAM>(this));
  if (m_hWnd == nullptr) {
    controller_ = nullptr;
    return -1;
  }
  MSG msg;
  while (!ended_) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == -1) break;
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that called this one
      break;
    }
    PreTranslateMessage(msg);
    if (!IsDialogMessageW(m_hWnd, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  controller.Shutdown();  // every worker has ended
  // The window goes with the dialog; until then nothing it gets reaches the controller.
  SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
  controller_ = nullptr;
  return IDOK;
}

INT_PTR CALLBACK CZARN_TORV2_UpgraderDlg::DialogProc(HWND window, UINT message, WPARAM wParam,
                                                     LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CZARN_TORV2_UpgraderDlg*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->m_hWnd = window;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<CZARN_TORV2_UpgraderDlg*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  return self->HandleMessage(message, wParam);
}

INT_PTR CZARN_TORV2_UpgraderDlg::HandleMessage(UINT message, WPARAM wParam) {
  switch (message) {
    case WM_COMMAND:
      // IDOK is the Update button; Enter never reaches it (the keyboard filter), and IDCANCEL
      // (Escape) does nothing: only the close box and a completed job end this dialog.
      if (LOWORD(wParam) == IDOK && HIWORD(wParam) == BN_CLICKED) OnBnClickedUpdate();
      return TRUE;
    case WM_CLOSE:
      OnClose();
      return TRUE;
    case WM_PAINT:
      if (!IsIconic(m_hWnd)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_hIcon);
    case torv2::win32::kRunQueuedTasks:
      queue_.RunPending();
      return TRUE;
    default:
      return FALSE;
  }
}

BOOL CZARN_TORV2_UpgraderDlg::OnInitDialog() {
  m_progress.SubclassDlgItem(m_hWnd, IDC_PROGRESS);
  FitVersionLabels(m_hWnd);
  queue_.AttachWindow(m_hWnd);

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  m_hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                          LR_DEFAULTCOLOR));
  m_hSmallIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));

  const auto colour = [](torv2::window::Rgb c) { return RGB(c.red, c.green, c.blue); };
  m_progress.m_colBk = colour(torv2::window::kBarBackground);
  m_progress.m_colBar = colour(torv2::window::kBarColour);

  m_pResultDlg = std::make_unique<CUpgradeResultDlg>(m_hWnd);

  wchar_t caption[256] = {};
  GetWindowTextW(m_hWnd, caption, static_cast<int>(std::size(caption)));
  controller_->Start(Utf8FromWide(caption));
  return TRUE;
}

void CZARN_TORV2_UpgraderDlg::OnBnClickedUpdate() {
  controller_->StartJob();
}

bool CZARN_TORV2_UpgraderDlg::PreTranslateMessage(MSG& message) {
  // Alt combinations come as WM_SYSKEYDOWN and go on to the system menu.
  if (message.message != WM_KEYDOWN) return false;
  if (message.hwnd != m_hWnd && !IsChild(m_hWnd, message.hwnd)) return false;
  if (controller_->KeyDown(message.wParam == VK_SPACE)) message.message = WM_NULL;
  return false;
}

void CZARN_TORV2_UpgraderDlg::OnClose() {
  controller_->Close();
}

void CZARN_TORV2_UpgraderDlg::OnPaint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(m_hWnd, &ps);
  SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(m_hWnd, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &ps);
}

void CZARN_TORV2_UpgraderDlg::SetTitle(std::string_view title) {
  SetWindowTextW(m_hWnd, WideFromUtf8(title).c_str());
}

void CZARN_TORV2_UpgraderDlg::SetUpgradeVersionText(std::string_view text) {
  SetDlgItemTextW(m_hWnd, IDC_UPGRADE_VERSION, WideFromUtf8(text).c_str());
}

void CZARN_TORV2_UpgraderDlg::SetCurrentVersionText(std::string_view text) {
  SetDlgItemTextW(m_hWnd, IDC_CURRENT_VERSION, WideFromUtf8(text).c_str());
}

void CZARN_TORV2_UpgraderDlg::EnableUpdate(bool enabled) {
  EnableWindow(GetDlgItem(m_hWnd, IDOK), enabled ? TRUE : FALSE);
}

void CZARN_TORV2_UpgraderDlg::ShowMessage(std::string_view text, std::string_view caption,
                                          torv2::window::MessageIcon icon,
                                          std::string_view details) {
  torv2::win32::ShowMessageBox(m_hWnd,
                               {.text = text,
                                .caption = caption,
                                .details = details,
                                .exclamation = icon == torv2::window::MessageIcon::Exclamation,
                                .allowTaskDialog = allowTaskDialog},
                               onMessageShown);
}

void CZARN_TORV2_UpgraderDlg::ShowResult(const torv2::upgrade::UpgradeReport& report) {
  m_pResultDlg->DoModal(report);
}

void CZARN_TORV2_UpgraderDlg::End() {
  // A message box or the result dialog of this window ends its own loop.
  EnumThreadWindows(GetCurrentThreadId(), &CloseOwnedWindow, reinterpret_cast<LPARAM>(m_hWnd));
  ended_ = true;
  PostMessageW(m_hWnd, WM_NULL, 0, 0);  // wakes the loop
}
