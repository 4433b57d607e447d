// The text progress bar: when it redraws and what it paints (the numbers behind it are
// tests/window/progress_math_test.cpp's).
#include <gtest/gtest.h>

#include <QImage>
#include <QTest>

#include "ui/text_progress_ctrl.h"

namespace torv2::ui {
namespace {

// A shown bar of a given client width, with distinct colours to read back from its pixels.
class Bar : public ::testing::Test {
 protected:
  void SetUp() override {
    bar_.m_colBar = QColor(0, 0, 153);
    bar_.m_colBk = QColor(255, 255, 255);
    bar_.m_colTextOnBar = QColor(255, 255, 0);
    bar_.m_colTextOnBk = QColor(255, 0, 0);
    bar_.resize(187, 24);
    bar_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar_));
    QCoreApplication::processEvents();
  }

  // Paints caused by the call, counting the ones the event loop makes right after it.
  template <class F>
  int PaintsBy(F&& f) {
    QCoreApplication::processEvents();
    const int before = bar_.PaintCount();
    f();
    QCoreApplication::processEvents();
    return bar_.PaintCount() - before;
  }

  QImage Picture() { return bar_.grab().toImage().convertToFormat(QImage::Format_RGB32); }

  CTextProgressCtrl bar_;
};

TEST_F(Bar, AFreshBarShowsOnlyTheBackground) {
  const QImage image = Picture();
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      ASSERT_EQ(image.pixelColor(x, y), bar_.m_colBk) << x << "," << y;
    }
  }
  EXPECT_EQ(bar_.DisplayText(), QString());
}

TEST_F(Bar, SetPosReturnsThePreviousPosition) {
  EXPECT_EQ(bar_.SetPos(40), 0);
  EXPECT_EQ(bar_.SetPos(41), 40);
  EXPECT_EQ(bar_.SetPos(0), 41);
  EXPECT_EQ(bar_.GetPos(), 0);
}

TEST_F(Bar, RedrawsOnlyWhenTheFilledWidthChanges) {
  bar_.resize(50, 24);
  QCoreApplication::processEvents();
  EXPECT_EQ(PaintsBy([&] { bar_.SetPos(2); }), 1);  // width 1: 2 × 0.5
  EXPECT_EQ(PaintsBy([&] { bar_.SetPos(3); }), 0);  // 1.5: still 1 pixel, though the text moves on
  EXPECT_EQ(PaintsBy([&] { bar_.SetPos(3); }), 0);
  EXPECT_EQ(PaintsBy([&] { bar_.SetPos(4); }), 1);  // 2 pixels
  EXPECT_EQ(PaintsBy([&] { bar_.SetPos(0); }), 1);
}

TEST_F(Bar, RedrawsAtOnceNotLater) {
  const int before = bar_.PaintCount();
  bar_.SetPos(60);
  EXPECT_EQ(bar_.PaintCount(), before + 1);  // painted before SetPos returned
}

TEST_F(Bar, SetTextRepaintsOnlyWhenTheShowFlagChanges) {
  EXPECT_EQ(PaintsBy([&] { bar_.SetText("Down", true); }), 1);
  EXPECT_EQ(PaintsBy([&] { bar_.SetText("Verify", true); }), 0);
  EXPECT_EQ(bar_.Label(), "Verify");  // stored, shown with the next redraw
  EXPECT_EQ(PaintsBy([&] { bar_.SetText("", false); }), 1);
  EXPECT_EQ(PaintsBy([&] { bar_.SetText("x", false); }), 0);
}

TEST_F(Bar, TheNextSetPosAfterAResizeRedrawsWhateverItsWidth) {
  bar_.SetPos(0);  // width 0 stored
  bar_.resize(200, 24);
  QCoreApplication::processEvents();
  EXPECT_EQ(PaintsBy([&] { bar_.SetPos(0); }), 1);
  EXPECT_EQ(PaintsBy([&] { bar_.SetPos(0); }), 0);
}

TEST_F(Bar, ThePositionFillsTheBarFromTheLeft) {
  bar_.SetPos(50);
  const QImage image = Picture();
  EXPECT_EQ(image.pixelColor(0, 2), bar_.m_colBar);
  EXPECT_EQ(image.pixelColor(92, 2), bar_.m_colBar);  // 93 pixels filled
  EXPECT_EQ(image.pixelColor(93, 2), bar_.m_colBk);
  EXPECT_EQ(image.pixelColor(186, 2), bar_.m_colBk);
}

TEST_F(Bar, TextOverTheFilledPartHasTheOtherColour) {
  bar_.SetText("Down", true);
  bar_.SetPos(50);
  EXPECT_EQ(bar_.DisplayText(), "Down -  50%");
  const QImage image = Picture();
  int onBar = 0;
  int onBk = 0;
  int wrongSide = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c == bar_.m_colTextOnBar) (x < 93 ? onBar : wrongSide)++;
      if (c == bar_.m_colTextOnBk) (x >= 93 ? onBk : wrongSide)++;
    }
  }
  EXPECT_GT(onBar, 0);
  EXPECT_GT(onBk, 0);
  EXPECT_EQ(wrongSide, 0);
}

TEST_F(Bar, NoTextWhileTextDisplayIsOff) {
  bar_.SetText("Down", false);
  bar_.SetPos(50);
  const QImage image = Picture();
  for (int x = 0; x < image.width(); ++x) {
    for (int y = 0; y < image.height(); ++y) {
      const QColor c = image.pixelColor(x, y);
      ASSERT_TRUE(c == bar_.m_colBar || c == bar_.m_colBk) << x << "," << y;
    }
  }
}

TEST_F(Bar, AFrameLiesOutsideTheClientArea) {
  bar_.setFrameShape(QFrame::Box);  // 1 pixel: the client area is 185 wide
  bar_.SetPos(50);
  EXPECT_EQ(bar_.contentsRect().width(), 185);
  const QImage image = Picture();
  EXPECT_EQ(image.pixelColor(1 + 91, 5), bar_.m_colBar);  // 92 = 185 × 0.5 truncated
  EXPECT_EQ(image.pixelColor(1 + 92, 5), bar_.m_colBk);
}

}  // namespace
}  // namespace torv2::ui
