#pragma once
// Helpers for widget tests: waiting for a condition while the event loop runs, and answering the
// modal dialogs the program opens (message boxes, the result dialog) from a timer.

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace torv2::testing {

// Runs the event loop until `done()` holds or `timeoutMs` passed; returns whether it holds. The
// loop runs without pauses; the condition is looked at after every event and every millisecond.
template <class F>
bool WaitFor(F&& done, int timeoutMs = 10'000) {
  if (done()) return true;
  const QDeadlineTimer deadline(timeoutMs);
  QEventLoop loop;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    if (done() || deadline.hasExpired()) loop.quit();
  });
  tick.start(1);
  loop.exec();
  return done();
}

// Saves a picture of `widget` as <name>.png when TORV2_SCREENSHOT_DIR names a folder.
inline void Screenshot(QWidget& widget, const QString& name) {
  const QString dir = qEnvironmentVariable("TORV2_SCREENSHOT_DIR");
  if (!dir.isEmpty()) widget.grab().save(dir + "/" + name + ".png");
}

struct SeenModal {
  std::string className;  // "QMessageBox", "CUpgradeResultDlg"
  std::string title;
  std::string text;     // a message box's text
  std::string details;  // and its detailed text
};

// Watches for modal dialogs while it lives. Each new one is recorded and handed to `answer`,
// which closes it (or not, returning false to look again later). By default a message box is
// answered with OK and any other dialog is accepted.
class ModalAnswerer {
 public:
  using Answer = std::function<bool(QWidget* modal)>;

  explicit ModalAnswerer(Answer answer = {}) : answer_(std::move(answer)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
    timer_.start(2);
  }

  const std::vector<SeenModal>& seen() const { return seen_; }
  std::vector<std::string> messages() const {
    std::vector<std::string> texts;
    for (const SeenModal& m : seen_) {
      if (m.className == "QMessageBox") texts.push_back(m.text);
    }
    return texts;
  }
  void SetAnswer(Answer answer) { answer_ = std::move(answer); }

  static void Dismiss(QWidget* modal) {
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->accept();
    }
  }

 private:
  void Look() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    if (modal != last_) {
      last_ = modal;
      SeenModal m{modal->metaObject()->className(), modal->windowTitle().toStdString(), ""};
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        m.text = box->text().toStdString();
        m.details = box->detailedText().toStdString();
      }
      seen_.push_back(m);
      answered_ = false;
    }
    // Keys reach a window only once it is the active one, as they would for a user.
    if (answered_ || !modal->isActiveWindow()) return;
    answered_ = answer_ ? answer_(modal) : (Dismiss(modal), true);
  }

  Answer answer_;
  QTimer timer_;
  QPointer<QWidget> last_;
  bool answered_ = false;
  std::vector<SeenModal> seen_;
};

}  // namespace torv2::testing
