#include "ui/win32/text_progress_ctrl.h"

#include <commctrl.h>

#include "win32/wide_text.h"

namespace {

constexpr UINT_PTR kSubclassId = 0x7E57;

void FillSolidRect(HDC dc, const RECT& rect, COLORREF colour) {
  // The classic way to fill with one colour without making a brush: an opaque empty text.
  const COLORREF old = SetBkColor(dc, colour);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
  SetBkColor(dc, old);
}

// Restricts drawing to `rect`, given in logical coordinates (the off-screen context's window
// origin is moved, and clip regions are in device coordinates).
void ClipTo(HDC dc, RECT rect) {
  LPtoDP(dc, reinterpret_cast<POINT*>(&rect), 2);
  if (HRGN region = CreateRectRgnIndirect(&rect)) {
    SelectClipRgn(dc, region);
    DeleteObject(region);  // SelectClipRgn keeps a copy
  }
}

}  // namespace

CMemDCC::CMemDCC(HDC target) : m_pDC(target) {
  if (GetDeviceCaps(target, TECHNOLOGY) == DT_RASPRINTER) return;
  if (GetClipBox(target, &m_rect) == ERROR) return;
  const int width = m_rect.right - m_rect.left;
  const int height = m_rect.bottom - m_rect.top;
  if (width <= 0 || height <= 0) return;
  m_dc = CreateCompatibleDC(target);
  if (m_dc == nullptr) return;
  m_bitmap = CreateCompatibleBitmap(target, width, height);
  if (m_bitmap == nullptr) {
    DeleteDC(m_dc);
    m_dc = nullptr;
    return;
  }
  m_oldBitmap = SelectObject(m_dc, m_bitmap);
  SetWindowOrgEx(m_dc, m_rect.left, m_rect.top, nullptr);
  m_bMemDC = true;
}

CMemDCC::~CMemDCC() {
  if (!m_bMemDC) return;
  BitBlt(m_pDC, m_rect.left, m_rect.top, m_rect.right - m_rect.left, m_rect.bottom - m_rect.top,
         m_dc, m_rect.left, m_rect.top, SRCCOPY);
  if (m_oldBitmap) SelectObject(m_dc, m_oldBitmap);
  DeleteObject(m_bitmap);
  DeleteDC(m_dc);
}

CTextProgressCtrl::CTextProgressCtrl()
    : m_colBar(GetSysColor(COLOR_HIGHLIGHT)),
      m_colBk(GetSysColor(COLOR_BTNFACE)),
      m_colTextOnBk(GetSysColor(COLOR_HIGHLIGHT)),
      m_colTextOnBar(GetSysColor(COLOR_WINDOW)) {}

CTextProgressCtrl::~CTextProgressCtrl() {
  Release();
}

bool CTextProgressCtrl::SubclassDlgItem(HWND dialog, int id) {
  Release();
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return false;
  if (!SetWindowSubclass(control, &SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
    return false;
  }
  m_hWnd = control;
  m_state.Resized();
  return true;
}

void CTextProgressCtrl::Release() {
  if (m_hWnd == nullptr) return;
  RemoveWindowSubclass(m_hWnd, &SubclassProc, kSubclassId);
  m_hWnd = nullptr;
}

int CTextProgressCtrl::SetPos(int position) {
  if (m_hWnd == nullptr || !IsWindow(m_hWnd)) return -1;
  const int previous = m_state.Pos();
  RECT client;
  GetClientRect(m_hWnd, &client);
  if (m_state.SetPos(position, client.right - client.left)) {
    RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
  }
  return previous;
}

void CTextProgressCtrl::SetText(std::string_view label, bool show) {
  if (m_state.SetText(label, show) && m_hWnd != nullptr && IsWindow(m_hWnd)) {
    InvalidateRect(m_hWnd, nullptr, TRUE);
  }
}

std::wstring CTextProgressCtrl::DisplayText() const {
  return torv2::win32::WideFromUtf8(m_state.DisplayText());
}

void CTextProgressCtrl::OnPaint() {
  ++m_nPaintCount;
  PAINTSTRUCT ps;
  HDC target = BeginPaint(m_hWnd, &ps);
  if (target == nullptr) return;
  RECT client;
  GetClientRect(m_hWnd, &client);
  {
    CMemDCC mem(target);
    HDC dc = mem.get();
    if (!m_state.HasRange()) {
      FillSolidRect(dc, client, m_colBk);  // no range to show: an empty bar
      if (onPaint) onPaint(0, std::wstring());
    } else {
      const int filled = m_state.FilledWidth(client.right - client.left);
      RECT bar = client;
      bar.right = client.left + filled;
      RECT rest = client;
      rest.left = bar.right;
      FillSolidRect(dc, bar, m_colBar);
      FillSolidRect(dc, rest, m_colBk);
      if (onPaint) onPaint(filled, DisplayText());
      if (m_state.ShowsText()) {
        // The same text twice, each pass clipped to one part, so characters change colour
        // exactly at the edge of the filled part. In the dialog's font, as the Qt bar draws it.
        std::wstring text = DisplayText();
        RECT where = client;
        const UINT flags = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
        const int saved = SaveDC(dc);
        if (const auto font =
                reinterpret_cast<HFONT>(SendMessageW(GetParent(m_hWnd), WM_GETFONT, 0, 0))) {
          SelectObject(dc, font);
        }
        SetBkMode(dc, TRANSPARENT);
        ClipTo(dc, bar);
        SetTextColor(dc, m_colTextOnBar);
        DrawTextW(dc, text.data(), static_cast<int>(text.size()), &where, flags);
        ClipTo(dc, rest);
        SetTextColor(dc, m_colTextOnBk);
        DrawTextW(dc, text.data(), static_cast<int>(text.size()), &where, flags);
        RestoreDC(dc, saved);
      }
    }
  }
  EndPaint(m_hWnd, &ps);
}

LRESULT CALLBACK CTextProgressCtrl::SubclassProc(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam, UINT_PTR, DWORD_PTR data) {
  auto* self = reinterpret_cast<CTextProgressCtrl*>(data);
  switch (message) {
    case WM_PAINT:
      self->OnPaint();
      return 0;
    case WM_SIZE: {
      const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
      self->m_state.Resized();  // the next SetPos redraws whatever its width
      return result;
    }
    case WM_NCDESTROY:
      self->Release();
      break;
    default:
      break;
  }
  return DefSubclassProc(window, message, wParam, lParam);
}
