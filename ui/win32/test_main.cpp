// torv2-upgrader-test.exe: the Windows program over the in-process virtual programmer, for the
// window tests under Wine. Built only with TORV2_WIN32_UI_TESTS; never shipped.
//
//   --journal FILE         append one line per thing the window shows (see window_journal.h) and
//                          per upgrade attempt as it ends ("attempt upgrade OUTCOME")
//   --no-device            the virtual programmer is not attached
//   --fault STEP:N:KIND    a device fault, e.g. size-reply:1:refuse (repeatable: the last wins)
//   --transfer-timeout MS  the time-out of each transfer (default 6000)
//   --plain-boxes          plain message boxes, as where comctl32 has no task dialog
//   --winusb               the real SetupAPI + WinUSB transport instead of the virtual programmer
//   --history FILE         keep the history there, as torv2-upgrader.exe does in its default place
// Each attempt's end also goes to the program's log file, as the shipped program writes it
// (%LOCALAPPDATA%\torv2-upgrader\torv2-upgrader.log).
#include <windows.h>

// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "history/history_files.h"
#include "history/window_history.h"
#include "link/winusb/winusb_transport.h"
#include "ui/win32/attempt_log_file.h"
#include "ui/win32/window_journal.h"
#include "upgrade/upgrader.h"
#include "win32/wide_text.h"

namespace {

class JournalFile {
 public:
  explicit JournalFile(const std::wstring& path) : file_(_wfopen(path.c_str(), L"ab")) {}
  ~JournalFile() {
    if (file_) std::fclose(file_);
  }
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;
  void Write(std::string_view line) {
    std::lock_guard lock(mutex_);
    if (!file_) return;
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }

 private:
  std::mutex mutex_;
  FILE* file_;
};

// Each upgrade attempt as it ends, on the job's thread: "attempt upgrade refused|failed|completed".
class AttemptJournal final : public torv2::upgrade::AttemptObserver {
 public:
  explicit AttemptJournal(JournalFile& file) : file_(file) {}
  void AttemptEnded(const torv2::upgrade::Attempt& attempt) override {
    if (attempt.kind != torv2::upgrade::AttemptKind::Upgrade || attempt.job == nullptr) return;
    file_.Write(std::string("attempt upgrade ") + Outcome(attempt.job->outcome));
  }

 private:
  static const char* Outcome(torv2::upgrade::JobOutcome outcome) {
    switch (outcome) {
      case torv2::upgrade::JobOutcome::NotRun:
        return "not-run";
      case torv2::upgrade::JobOutcome::Refused:
        return "refused";
      case torv2::upgrade::JobOutcome::Failed:
        return "failed";
      case torv2::upgrade::JobOutcome::Completed:
        return "completed";
    }
    return "?";
  }

  JournalFile& file_;
};

// Tells each attempt to the journal, then to the history.
class BothObservers final : public torv2::upgrade::AttemptObserver {
 public:
  BothObservers(torv2::upgrade::AttemptObserver* first, torv2::upgrade::AttemptObserver* second)
      : first_(first), second_(second) {}
  void AttemptBegan(const torv2::upgrade::Attempt& attempt) override {
    if (first_) first_->AttemptBegan(attempt);
    if (second_) second_->AttemptBegan(attempt);
  }
  void AttemptEnded(const torv2::upgrade::Attempt& attempt) override {
    if (first_) first_->AttemptEnded(attempt);
    if (second_) second_->AttemptEnded(attempt);
  }

 private:
  torv2::upgrade::AttemptObserver* first_;
  torv2::upgrade::AttemptObserver* second_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args(argv ? argv + 1 : nullptr, argv ? argv + argc : nullptr);
  if (argv) LocalFree(argv);

  torv2::window::WindowOptions options;
  std::unique_ptr<JournalFile> journal;
  std::unique_ptr<torv2::upgrade::AttemptObserver> history;
  bool attached = true;
  bool realUsb = false;
  bool plainBoxes = false;
  std::vector<torv2::emulator::StepFault> faults;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == L"--journal" && hasValue) {
      journal = std::make_unique<JournalFile>(args[++i]);
    } else if (a == L"--no-device") {
      attached = false;
    } else if (a == L"--history" && hasValue) {
      history = torv2::history::KeepWindowHistory(
          torv2::history::PathOfUtf8(torv2::win32::Utf8FromWide(args[++i])));
    } else if (a == L"--plain-boxes") {
      plainBoxes = true;
    } else if (a == L"--winusb") {
      realUsb = true;
    } else if (a == L"--fault" && hasValue) {
      const auto fault = torv2::emulator::ParseStepFault(torv2::win32::Utf8FromWide(args[++i]));
      if (!fault) return 64;
      faults.push_back(*fault);
    } else if (a == L"--transfer-timeout" && hasValue) {
      options.linkTimeouts.perTransfer = std::chrono::milliseconds(_wtoi(args[++i].c_str()));
    } else {
      return 64;
    }
  }
  // The log file, where the shipped program keeps it.
  const std::unique_ptr<torv2::window::AttemptLog> log = torv2::win32::OpenAttemptLog();
  options.attemptLog = log.get();
  std::unique_ptr<AttemptJournal> attempts;
  torv2::win32::JournalLine write = [](std::string_view) {};
  if (journal) {
    attempts = std::make_unique<AttemptJournal>(*journal);
    write = [j = journal.get()](std::string_view line) { j->Write(line); };
  }
  BothObservers observers(attempts.get(), history.get());
  options.attempts = &observers;

  if (realUsb) {
    torv2::link::winusb::WinUsbTransport transport;
    torv2::win32::RunJournaledWindow(transport, std::move(options), write, plainBoxes);
    return 0;
  }
  torv2::emulator::InProcessTransport transport;
  if (!faults.empty()) {
    transport.WithProgrammer(
        [&](torv2::emulator::VirtualProgrammer& p) { p.faults().atStep = faults.back(); });
  }
  if (!attached) transport.Unplug();
  torv2::win32::RunJournaledWindow(transport, std::move(options), write, plainBoxes);
  return 0;
}
