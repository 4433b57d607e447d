#pragma once
// The result dialog: the five report lines of a completed upgrade, the main and sub lines and the
// two version lines in a bold 16-unit report font, the socket table in a bold 12-unit Korean face
// whose box-drawing characters are as wide as its full-width forms. Runs modally over the main
// window on the GUI thread, centred over it.

#include <windows.h>

#include <string>
#include <vector>

#include "upgrade/upgrade_report.h"

class CUpgradeResultDlg {
 public:
  explicit CUpgradeResultDlg(HWND parent);
  ~CUpgradeResultDlg();
  CUpgradeResultDlg(const CUpgradeResultDlg&) = delete;
  CUpgradeResultDlg& operator=(const CUpgradeResultDlg&) = delete;

  // Shows `report` and returns once the user closed the dialog (IDOK or IDCANCEL).
  INT_PTR DoModal(const torv2::upgrade::UpgradeReport& report);
  // The dialog's window while it is open.
  HWND GetSafeHwnd() const { return m_hWnd; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
  BOOL OnInitDialog();
  void ReleaseFonts();

  HWND m_pParent;
  HWND m_hWnd = nullptr;
  const torv2::upgrade::UpgradeReport* m_report = nullptr;
  HFONT m_reportFont = nullptr;
  HFONT m_tableFont = nullptr;
};

namespace torv2::win32 {

// The faces of window/appearance.h in their order; the first one installed is used (the first of
// all when none is, leaving the choice to the font mapper).
std::vector<std::wstring> ReportFontFaces();  // L"Verdana" first
std::vector<std::wstring> TableFontFaces();   // L"굴림" (Gulim) first
std::wstring FirstInstalledFace(const std::vector<std::wstring>& faces);

// A LOGFONTW with every field zero but the height, the weight (bold) and the face.
LOGFONTW BoldFont(LONG height, const std::wstring& face);

}  // namespace torv2::win32
