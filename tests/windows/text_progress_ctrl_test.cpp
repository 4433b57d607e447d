// The progress bar on a real progress control under Windows (Wine on Xvfb here): what it draws
// and when it redraws (the numbers behind it are tests/window/progress_math_test.cpp's).
#include <gtest/gtest.h>
#include <windows.h>

// commctrl.h needs windows.h first.
#include <commctrl.h>

#include "ui/win32/text_progress_ctrl.h"

namespace {

// A top-level window holding one progress control 187 x 14 pixels (client area), as in the main
// dialog, taken over by a fresh bar in every test. The window is made once: under Wine without a
// window manager, showing and destroying a window costs seconds.
class TextProgressCtrlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    parent_ = CreateWindowExW(0, L"STATIC", L"bar test", WS_POPUP | WS_VISIBLE, 0, 0, 300, 100,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 5, 5, 187, 14, parent_,
                    reinterpret_cast<HMENU>(1003), GetModuleHandleW(nullptr), nullptr);
  }
  static void TearDownTestSuite() {
    if (parent_) DestroyWindow(parent_);
    parent_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(parent_, nullptr);
    SetWindowPos(GetDlgItem(parent_, 1003), nullptr, 0, 0, 187, 14, SWP_NOMOVE | SWP_NOZORDER);
    ASSERT_TRUE(bar_.SubclassDlgItem(parent_, 1003));
    Pump();
  }
  // Handles what is queued, paints included.
  void Pump() {
    UpdateWindow(bar_.GetSafeHwnd());
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  COLORREF PixelAt(int x, int y) {
    HDC dc = GetDC(bar_.GetSafeHwnd());
    const COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(bar_.GetSafeHwnd(), dc);
    return c;
  }

  static inline HWND parent_ = nullptr;
  CTextProgressCtrl bar_;
};

TEST_F(TextProgressCtrlTest, RedrawsOnlyWhenTheFilledWidthChanges) {
  bar_.m_colBar = RGB(0, 0, 0x99);
  bar_.m_colBk = RGB(0xFF, 0xFF, 0xFF);
  bar_.SetRange(0, 100);
  bar_.SetStep(1);
  int paints = bar_.PaintCount();
  EXPECT_EQ(bar_.SetPos(0), 0);  // the first SetPos always draws (width −1 before)
  EXPECT_EQ(bar_.PaintCount(), paints + 1);
  paints = bar_.PaintCount();
  EXPECT_EQ(bar_.SetPos(50), 0);  // 93 pixels
  EXPECT_EQ(bar_.PaintCount(), paints + 1);
  EXPECT_EQ(PixelAt(92, 7), RGB(0, 0, 0x99));
  EXPECT_EQ(PixelAt(93, 7), RGB(0xFF, 0xFF, 0xFF));
  paints = bar_.PaintCount();
  EXPECT_EQ(bar_.SetPos(50), 50);  // the same width: no redraw
  EXPECT_EQ(bar_.PaintCount(), paints);
  EXPECT_EQ(bar_.SetPos(100), 50);
  EXPECT_EQ(PixelAt(186, 7), RGB(0, 0, 0x99));
}

TEST_F(TextProgressCtrlTest, EqualWidthsForDifferentPercentagesDrawOnce) {
  bar_.SetText("Down", true);
  bar_.SetPos(1);  // 1.87 pixels: 1
  Pump();
  const int paints = bar_.PaintCount();
  bar_.SetPos(2);  // 3.74: 3, a change
  EXPECT_EQ(bar_.PaintCount(), paints + 1);
  // Two percentages with one width: on a bar 50 pixels wide, 10% and 11% both fill 5 pixels.
  SetWindowPos(bar_.GetSafeHwnd(), nullptr, 0, 0, 50, 14, SWP_NOMOVE | SWP_NOZORDER);
  Pump();
  bar_.SetPos(10);  // 5 pixels
  const int before = bar_.PaintCount();
  bar_.SetPos(11);  // 5.5: still 5 pixels, though the text would read 11%
  EXPECT_EQ(bar_.PaintCount(), before);
  EXPECT_EQ(bar_.DisplayText(), L"Down -  11%");
}

TEST_F(TextProgressCtrlTest, SetTextRepaintsLaterOnlyWhenTheShowFlagChanges) {
  bar_.SetPos(10);
  Pump();
  int paints = bar_.PaintCount();
  bar_.SetText("Down", false);  // same flag as before: nothing
  Pump();
  EXPECT_EQ(bar_.PaintCount(), paints);
  bar_.SetText("Down", true);  // switched on: a repaint in the normal paint cycle
  EXPECT_EQ(bar_.PaintCount(), paints);
  Pump();
  EXPECT_EQ(bar_.PaintCount(), paints + 1);
  EXPECT_EQ(bar_.DisplayText(), L"Down -  10%");
  paints = bar_.PaintCount();
  bar_.SetText("Verify", true);  // label alone: no repaint
  Pump();
  EXPECT_EQ(bar_.PaintCount(), paints);
  EXPECT_EQ(bar_.DisplayText(), L"Verify -  10%");
}

TEST_F(TextProgressCtrlTest, AfterAResizeTheNextSetPosRedraws) {
  bar_.SetPos(40);  // 74 pixels
  // Wider and back: the same width as before the resize, but the bar forgot it.
  SetWindowPos(bar_.GetSafeHwnd(), nullptr, 0, 0, 200, 14, SWP_NOMOVE | SWP_NOZORDER);
  SetWindowPos(bar_.GetSafeHwnd(), nullptr, 0, 0, 187, 14, SWP_NOMOVE | SWP_NOZORDER);
  Pump();
  const int paints = bar_.PaintCount();
  bar_.SetPos(40);
  EXPECT_EQ(bar_.PaintCount(), paints + 1);
  bar_.SetPos(40);
  EXPECT_EQ(bar_.PaintCount(), paints + 1);
}

TEST(TextProgressCtrlWithoutWindow, SetPosStoresNothing) {
  CTextProgressCtrl bar;
  EXPECT_EQ(bar.SetPos(30), -1);
  EXPECT_EQ(bar.GetPos(), 0);
}

TEST(MemDC, CopiesTheDrawingToTheTarget) {
  HDC screen = GetDC(nullptr);
  HDC target = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 20, 10);
  HGDIOBJ old = SelectObject(target, bitmap);
  {
    CMemDCC mem(target);
    ASSERT_TRUE(mem.OffScreen());
    RECT r{0, 0, 20, 10};
    HBRUSH brush = CreateSolidBrush(RGB(10, 200, 30));
    FillRect(mem.get(), &r, brush);
    DeleteObject(brush);
    EXPECT_NE(GetPixel(target, 5, 5), RGB(10, 200, 30));  // not yet on the target
  }
  EXPECT_EQ(GetPixel(target, 5, 5), RGB(10, 200, 30));
  SelectObject(target, old);
  DeleteObject(bitmap);
  DeleteDC(target);
  ReleaseDC(nullptr, screen);
}

}  // namespace
