#pragma once
// The main window's progress bar: it takes over the dialog's progress control and paints all of
// it itself, a filled part that follows the position and the rest in a background colour, and,
// while text display is on, the label and the percentage centred over the whole bar, in one
// colour over the filled part and another over the rest. Each paint is drawn off-screen (CMemDCC)
// and copied to the screen in one step, so the bar does not flicker.
//
// GUI thread only; the job reaches it through the window's progress relay. The text is drawn in
// the control's font, the dialog's.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "link/progress_sink.h"
#include "window/progress_bar_state.h"

// An off-screen drawing context for one paint: drawing at the target's logical coordinates lands
// in a bitmap the size of the target's clip box, which the destructor copies to the target. A
// printer context, or a target whose bitmap cannot be made, is drawn on directly.
class CMemDCC {
 public:
  explicit CMemDCC(HDC target);
  ~CMemDCC();
  CMemDCC(const CMemDCC&) = delete;
  CMemDCC& operator=(const CMemDCC&) = delete;

  HDC get() const { return m_bMemDC ? m_dc : m_pDC; }
  bool OffScreen() const { return m_bMemDC; }

 private:
  HDC m_pDC;           // the target; not owned
  HDC m_dc = nullptr;  // the off-screen context
  HBITMAP m_bitmap = nullptr;
  HGDIOBJ m_oldBitmap = nullptr;
  RECT m_rect{};  // the target's clip box, in its logical coordinates
  bool m_bMemDC = false;
};

class CTextProgressCtrl final : public torv2::link::ProgressSink {
 public:
  CTextProgressCtrl();
  ~CTextProgressCtrl() override;
  CTextProgressCtrl(const CTextProgressCtrl&) = delete;
  CTextProgressCtrl& operator=(const CTextProgressCtrl&) = delete;

  // Takes over control `id` of `dialog`; false when there is no such control.
  bool SubclassDlgItem(HWND dialog, int id);
  HWND GetSafeHwnd() const { return m_hWnd; }

  // The job's progress sink, on the GUI thread.
  void SetPercent(int percent) override { SetPos(percent); }
  void SetLabel(std::string_view label, bool show) override { SetText(label, show); }

  // The bar as a progress control; the rules are window::ProgressBarState's. SetPos returns the
  // previous position, or −1 (storing nothing) while the bar has no window.
  int SetPos(int position);
  void SetText(std::string_view label, bool show);
  void SetRange(int lower, int upper) { m_state.SetRange(lower, upper); }
  void SetStep(int step) { m_nStepSize = step; }  // stored only; nothing steps the bar

  int GetPos() const { return m_state.Pos(); }
  // What the bar shows as text now (empty while text display is off).
  std::wstring DisplayText() const;
  int PaintCount() const { return m_nPaintCount; }
  // Told of every paint: the filled width and the text drawn (empty while text display is off).
  std::function<void(int filled, const std::wstring& text)> onPaint;

  // Read at each paint; the main window sets the first two while it initialises.
  COLORREF m_colBar;
  COLORREF m_colBk;
  COLORREF m_colTextOnBk;
  COLORREF m_colTextOnBar;

 private:
  static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  void OnPaint();
  void Release();

  HWND m_hWnd = nullptr;
  torv2::window::ProgressBarState m_state;
  int m_nPaintCount = 0;
  int m_nStepSize = 1;
};
