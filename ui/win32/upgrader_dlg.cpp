#include "ui/win32/upgrader_dlg.h"

#include <dbt.h>

#include <algorithm>

#include "link/winusb/winusb_transport.h"
#include "ui/win32/resource.h"
#include "upgrade/embedded_images.h"
#include "upgrade/version_text.h"
#include "upgrade/win32/wide_text.h"

namespace {

using torv2::win32::Utf8FromWide;
using torv2::win32::WideFromUtf8;

constexpr char kMsgModulePathFailed[] = "GetModuleFileName Failed!";
constexpr wchar_t kUnknown[] = L"Unknown";
constexpr wchar_t kUnknownMainExe[] = L"Unknown - MainExe";

// Message boxes carry the program's name, its file name without the extension.
std::string ProgramName() {
  std::string path = torv2::upgrade::ExecutablePath();
  const auto slash = path.find_last_of("\\/");
  if (slash != std::string::npos) path.erase(0, slash + 1);
  const auto dot = path.rfind('.');
  if (dot != std::string::npos && dot > 0) path.erase(dot);
  return path.empty() ? "torv2-upgrader" : path;
}

// Whether a device event concerns an interface of the programmer's class. The system sends
// every top-level window events of other kinds too (volumes, ports); those say nothing about
// the programmer.
bool IsProgrammerInterface(LPARAM data) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return false;
  const auto* interface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
  if (header->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name)) return false;
  const GUID guid = torv2::link::winusb::ToWindowsGuid(torv2::link::DeviceInterfaceGuid);
  return IsEqualGUID(interface->dbcc_classguid, guid) != 0;
}

BOOL CALLBACK CloseOwnedWindow(HWND window, LPARAM owner) {
  if (GetWindow(window, GW_OWNER) == reinterpret_cast<HWND>(owner)) {
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  return TRUE;
}

std::string OneLine(std::string text) {
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, "/");
  return text;
}

}  // namespace

CZARN_TORV2_UpgraderDlg::CZARN_TORV2_UpgraderDlg(torv2::link::UsbTransport& transport,
                                                 torv2::win32::UpgraderDlgOptions options)
    : options_(std::move(options)),
      host_(*this, queue_, progress_, ProgramName()),
      link_(transport, options_.linkTimeouts),
      upgrader_(std::make_unique<torv2::upgrade::Upgrader>(link_, host_, options_.timings)) {}

CZARN_TORV2_UpgraderDlg::~CZARN_TORV2_UpgraderDlg() {
  // Nothing may wait for this window any more: let a waiting job go on, then cancel it and wait
  // for its thread.
  host_.Close();
  queue_.Close();
  upgrader_->Shutdown();
  if (notification_) UnregisterDeviceNotification(notification_);
  if (m_hWnd) DestroyWindow(m_hWnd);
  if (m_hIcon) DestroyIcon(m_hIcon);
  if (m_hSmallIcon) DestroyIcon(m_hSmallIcon);
}

INT_PTR CZARN_TORV2_UpgraderDlg::DoModal() {
  m_hWnd = CreateDialogParamW(GetModuleHandleW(nullptr),
                              MAKEINTRESOURCEW(IDD_ZARN_TORV2_UPGRADER_DIALOG), nullptr,
                              &DialogProc, reinterpret_cast<LPARAM>(this));
  if (m_hWnd == nullptr) return -1;
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
  host_.Close();
  queue_.Close();
  upgrader_->Shutdown();
  DestroyWindow(m_hWnd);
  m_hWnd = nullptr;
  Journal("end");
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
  return self->HandleMessage(message, wParam, lParam);
}

INT_PTR CZARN_TORV2_UpgraderDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      // IDOK is the Update button; Enter never reaches it (the keyboard filter), and IDCANCEL
      // (Escape) does nothing: only the close box and a completed job end this dialog.
      if (LOWORD(wParam) == IDOK && HIWORD(wParam) == BN_CLICKED) OnBnClickedUpdate();
      return TRUE;
    case WM_DEVICECHANGE:
      OnDeviceChange(wParam, lParam);
      SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, TRUE);
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

  // A dark blue bar (COLORREF 0x990000) on white.
  m_progress.m_colBk = RGB(0xFF, 0xFF, 0xFF);
  m_progress.m_colBar = RGB(0x00, 0x00, 0x99);

  wchar_t caption[256] = {};
  GetWindowTextW(m_hWnd, caption, static_cast<int>(std::size(caption)));
  m_strTitle = caption;
  m_pResultDlg = std::make_unique<CUpgradeResultDlg>(m_hWnd);
  if (options_.journal) {
    m_pResultDlg->onInitDialog = [this](HWND dialog) {
      for (int id = IDC_MAIN_LINE; id <= IDC_CURRENT_LINE; ++id) {
        const auto font =
            reinterpret_cast<HFONT>(SendDlgItemMessageW(dialog, id, WM_GETFONT, 0, 0));
        LOGFONTW f{};
        if (font == nullptr || GetObjectW(font, sizeof f, &f) != sizeof f) continue;
        Journal("font " + std::to_string(id) + " " + Utf8FromWide(f.lfFaceName) + " " +
                std::to_string(f.lfHeight) + " " + std::to_string(f.lfWeight) + " charset " +
                std::to_string(f.lfCharSet));
      }
    };
  }

  const std::string modulePath =
      options_.modulePath ? *options_.modulePath : torv2::upgrade::ExecutablePath();
  if (modulePath.empty()) host_.ShowMessage(kMsgModulePathFailed);

  // The carried images. Without a main image or its version nothing else of start-up happens.
  const torv2::upgrade::MessageSink showMessage = [this](std::string_view text,
                                                         std::string_view caption) {
    host_.ShowMessageWithCaption(text, caption);
  };
  torv2::upgrade::VersionText versionText{};
  torv2::upgrade::LoadMainImage(modulePath, upgrader_->m_mainImage, versionText, showMessage);
  if (!upgrader_->m_mainImage.loaded()) {
    SetDlgItemTextW(m_hWnd, IDC_UPGRADE_VERSION, kUnknownMainExe);
    Journal("upgrade-version Unknown - MainExe");
    return TRUE;
  }
  const std::optional<double> version =
      torv2::upgrade::AcceptCarriedVersion(torv2::upgrade::VersionTextView(versionText));
  if (!version) return TRUE;
  torv2::upgrade::LoadSubImage(modulePath, upgrader_->m_subImage, showMessage);
  const std::string shown = torv2::upgrade::FormatVersion(*version);
  SetDlgItemTextW(m_hWnd, IDC_UPGRADE_VERSION, WideFromUtf8(shown).c_str());
  Journal("upgrade-version " + shown);
  upgrader_->SetUpgradeVersionLine(torv2::upgrade::UpgradeVersionLine(*version));

  // One exchange with the device: status (with a reset when it asks for one), then its version.
  if (upgrader_->StartUpExchange()) {
    ShowUsbConnected();
  } else {
    ShowUsbDisconnected();
  }
  RegisterUsbNotification();
  return TRUE;
}

void CZARN_TORV2_UpgraderDlg::RegisterUsbNotification() {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = torv2::link::winusb::ToWindowsGuid(torv2::link::DeviceInterfaceGuid);
  // A failed registration only means that no arrival or removal will be seen.
  notification_ = RegisterDeviceNotificationA(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void CZARN_TORV2_UpgraderDlg::SetTitle(const std::wstring& title) {
  SetWindowTextW(m_hWnd, title.c_str());
  Journal("title " + Utf8FromWide(title));
}

void CZARN_TORV2_UpgraderDlg::ShowUsbConnected() {
  SetTitle(m_strTitle + torv2::win32::kTitleConnected);
  SetUpdateButtonEnabled(true);
}

void CZARN_TORV2_UpgraderDlg::ShowUsbDisconnected() {
  SetTitle(m_strTitle + torv2::win32::kTitleDisconnected);
  SetUpdateButtonEnabled(false);
}

void CZARN_TORV2_UpgraderDlg::OnBnClickedUpdate() {
  // One job at a time, even if a late "enable" from the previous job reached the button.
  if (closing_ || upgrader_->Busy()) return;
  Journal("update");
  upgrader_->OnBnClickedUpdate();
}

void CZARN_TORV2_UpgraderDlg::OnDeviceChange(WPARAM event, LPARAM data) {
  if (closing_) return;
  if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
  if (!IsProgrammerInterface(data)) return;
  if (event == DBT_DEVICEREMOVECOMPLETE) {
    // The programmer is gone. A running job is left to fail on its own and clears the busy
    // state itself, so no second job can start beside it.
    ++removals_;
    ShowUsbDisconnected();
    upgrader_->SetDeviceUsable(false);
    SetDlgItemTextW(m_hWnd, IDC_CURRENT_VERSION, kUnknown);
    return;
  }
  // An arrival reads the device's version once the link is free: now, or when the running job
  // has let go of it (then on the job's thread).
  const unsigned removalsSeen = removals_;
  upgrader_->RunWhenLinkFree([this, removalsSeen] {
    if (removals_ != removalsSeen) return;  // gone again before the link was free
    const int usable = upgrader_->ReadDeviceVersion();
    host_.RunOnGuiThread([this, usable, removalsSeen] {
      if (removals_ != removalsSeen) return;  // the programmer went again meanwhile
      upgrader_->SetDeviceUsable(usable != 0);
      if (usable) ShowUsbConnected();
    });
  });
}

bool CZARN_TORV2_UpgraderDlg::PreTranslateMessage(MSG& message) {
  if (message.message != WM_KEYDOWN) return false;
  if (message.hwnd != m_hWnd && !IsChild(m_hWnd, message.hwnd)) return false;
  // No key reaches this window or its controls: Enter, Escape and Tab do nothing. Space alone
  // acts, as a click of Update (even while the button is disabled) when no job runs.
  if (message.wParam == VK_SPACE && !upgrader_->Busy()) OnBnClickedUpdate();
  message.message = WM_NULL;
  return false;
}

void CZARN_TORV2_UpgraderDlg::OnClose() {
  if (closing_) return;
  closing_ = true;
  Journal("close");
  host_.Close();
  queue_.Close();
  // A message box or the result dialog of this window ends its own loop.
  EnumThreadWindows(GetCurrentThreadId(), &CloseOwnedWindow, reinterpret_cast<LPARAM>(m_hWnd));
  upgrader_->Shutdown();  // cancels the transfer in flight and waits for the job's thread
  EndMainDialog();
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

void CZARN_TORV2_UpgraderDlg::ShowMessageBox(const std::string& text, const std::string& caption) {
  Journal("message " + text);
  MessageBoxW(m_hWnd, WideFromUtf8(text).c_str(), WideFromUtf8(caption).c_str(),
              MB_OK | MB_ICONEXCLAMATION);
  Journal("message closed");
}

void CZARN_TORV2_UpgraderDlg::RunResultDialog(const torv2::upgrade::UpgradeReport& report) {
  Journal("result " + report.m_strMainResult + " | " + report.m_strSubResult + " | " +
          OneLine(report.m_strSocketTable) + " | " + report.m_strUpgradeVersion + " | " +
          report.m_strCurrentVersion);
  m_pResultDlg->DoModal(report);
  Journal("result closed");
}

void CZARN_TORV2_UpgraderDlg::SetUpdateButtonEnabled(bool enabled) {
  EnableWindow(GetDlgItem(m_hWnd, IDOK), enabled ? TRUE : FALSE);
  Journal(enabled ? "button on" : "button off");
}

void CZARN_TORV2_UpgraderDlg::SetCurrentVersionText(const std::string& text) {
  SetDlgItemTextW(m_hWnd, IDC_CURRENT_VERSION, WideFromUtf8(text).c_str());
  Journal("current-version " + text);
}

void CZARN_TORV2_UpgraderDlg::EndMainDialog() {
  ended_ = true;
  PostMessageW(m_hWnd, WM_NULL, 0, 0);  // wakes the loop
}

void CZARN_TORV2_UpgraderDlg::Journal(std::string_view line) const {
  if (options_.journal) options_.journal(line);
}
