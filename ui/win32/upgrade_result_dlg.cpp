#include "ui/win32/upgrade_result_dlg.h"

#include <algorithm>
#include <cwchar>

#include "ui/win32/resource.h"
#include "win32/wide_text.h"
#include "window/appearance.h"

namespace torv2::win32 {

namespace {

template <class Faces>
std::vector<std::wstring> WideFaces(const Faces& faces) {
  std::vector<std::wstring> wide;
  for (std::string_view face : faces) wide.push_back(WideFromUtf8(face));
  return wide;
}

int CALLBACK FoundFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;  // one is enough
}

bool Installed(HDC dc, const std::wstring& face) {
  if (face.size() >= LF_FACESIZE) return false;
  LOGFONTW query{};
  query.lfCharSet = DEFAULT_CHARSET;
  std::wcsncpy(query.lfFaceName, face.c_str(), LF_FACESIZE - 1);
  bool found = false;
  EnumFontFamiliesExW(dc, &query, &FoundFace, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

}  // namespace

std::vector<std::wstring> ReportFontFaces() {
  return WideFaces(window::kReportFontFaces);
}

std::vector<std::wstring> TableFontFaces() {
  return WideFaces(window::kTableFontFaces);
}

std::wstring FirstInstalledFace(const std::vector<std::wstring>& faces) {
  if (faces.empty()) return {};
  HDC dc = GetDC(nullptr);
  std::wstring chosen = faces.front();
  for (const std::wstring& face : faces) {
    if (Installed(dc, face)) {
      chosen = face;
      break;
    }
  }
  ReleaseDC(nullptr, dc);
  return chosen;
}

LOGFONTW BoldFont(LONG height, const std::wstring& face) {
  LOGFONTW font{};
  font.lfHeight = height;
  font.lfWeight = FW_BOLD;
  std::wcsncpy(font.lfFaceName, face.c_str(), LF_FACESIZE - 1);
  return font;
}

}  // namespace torv2::win32

CUpgradeResultDlg::CUpgradeResultDlg(HWND parent) : m_pParent(parent) {}

CUpgradeResultDlg::~CUpgradeResultDlg() {
  ReleaseFonts();
}

void CUpgradeResultDlg::ReleaseFonts() {
  if (m_reportFont) DeleteObject(m_reportFont);
  if (m_tableFont) DeleteObject(m_tableFont);
  m_reportFont = m_tableFont = nullptr;
}

INT_PTR CUpgradeResultDlg::DoModal(const torv2::upgrade::UpgradeReport& report) {
  m_report = &report;
  const INT_PTR result =
      DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UPGRADE_RESULT), m_pParent,
                      &DialogProc, reinterpret_cast<LPARAM>(this));
  m_report = nullptr;
  ReleaseFonts();  // the window that used them is gone
  return result;
}

BOOL CUpgradeResultDlg::OnInitDialog() {
  using namespace torv2::win32;
  // Both fonts stay alive as long as the window: the report font's controls keep using it.
  const LOGFONTW report =
      BoldFont(torv2::window::kReportFontCellHeight, FirstInstalledFace(ReportFontFaces()));
  m_reportFont = CreateFontIndirectW(&report);
  for (int id : {IDC_MAIN_LINE, IDC_SUB_LINE, IDC_UPGRADE_LINE, IDC_CURRENT_LINE}) {
    SendDlgItemMessageW(m_hWnd, id, WM_SETFONT, reinterpret_cast<WPARAM>(m_reportFont), TRUE);
  }
  const LOGFONTW table =
      BoldFont(torv2::window::kTableFontCellHeight, FirstInstalledFace(TableFontFaces()));
  m_tableFont = CreateFontIndirectW(&table);
  SendDlgItemMessageW(m_hWnd, IDC_SOCKET_TABLE, WM_SETFONT, reinterpret_cast<WPARAM>(m_tableFont),
                      TRUE);

  const std::pair<int, const std::string*> lines[] = {
      {IDC_MAIN_LINE, &m_report->mainResult},        {IDC_SUB_LINE, &m_report->subResult},
      {IDC_SOCKET_TABLE, &m_report->socketTable},    {IDC_UPGRADE_LINE, &m_report->upgradeVersion},
      {IDC_CURRENT_LINE, &m_report->currentVersion},
  };
  for (const auto& [id, text] : lines) {
    // A static control breaks lines at CR LF.
    std::wstring shown = WideFromUtf8(*text);
    for (std::size_t at = 0; (at = shown.find(L'\n', at)) != std::wstring::npos; at += 2) {
      shown.insert(at, 1, L'\r');
    }
    SetDlgItemTextW(m_hWnd, id, shown.c_str());
  }

  // Centred over the main window.
  RECT owner, self;
  if (m_pParent && GetWindowRect(m_pParent, &owner) && GetWindowRect(m_hWnd, &self)) {
    const int width = self.right - self.left;
    const int height = self.bottom - self.top;
    int x = owner.left + ((owner.right - owner.left) - width) / 2;
    int y = owner.top + ((owner.bottom - owner.top) - height) / 2;
    // Kept on the screen the owner is on.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromWindow(m_pParent, MONITOR_DEFAULTTONEAREST), &monitor)) {
      const RECT& work = monitor.rcWork;
      x = std::max<int>(work.left, std::min<int>(x, work.right - width));
      y = std::max<int>(work.top, std::min<int>(y, work.bottom - height));
    }
    SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return TRUE;  // the focus goes to the OK button
}

INT_PTR CALLBACK CUpgradeResultDlg::DialogProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CUpgradeResultDlg*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->m_hWnd = window;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<CUpgradeResultDlg*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(window, LOWORD(wParam));
        return TRUE;
      }
      break;
    case WM_DESTROY:
      self->m_hWnd = nullptr;
      break;
    default:
      break;
  }
  return FALSE;
}
