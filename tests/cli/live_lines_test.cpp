// The watch's live lines on a terminal, as the bytes a terminal gets: stdout and stderr are
// written into one file here, so the order between them is what a user sees.

#include "cli/live_lines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "cli/progress_printer.h"

namespace torv2::cli {
namespace {

// One file for both streams, read back whole.
class Terminal {
 public:
  Terminal() : file_(std::tmpfile(), &std::fclose) {}
  std::FILE* file() const { return file_.get(); }
  LiveLines::Writer out() const {
    return [file = file_.get()](std::string_view text) {
      std::fwrite(text.data(), 1, text.size(), file);
      std::fflush(file);
    };
  }
  std::string Bytes() const {
    std::fflush(file_.get());
    std::rewind(file_.get());
    std::string bytes;
    for (int c; (c = std::fgetc(file_.get())) != EOF;) bytes += static_cast<char>(c);
    return bytes;
  }

 private:
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
};

struct Case {
  std::string name;
  std::function<void(LiveLines&)> steps;
  std::string expected;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class LiveLinesCase : public ::testing::TestWithParam<Case> {};

TEST_P(LiveLinesCase, WritesWhatTheTerminalShows) {
  Terminal terminal;
  ASSERT_NE(terminal.file(), nullptr);
  {
    LiveLines lines(terminal.file(), terminal.out());
    GetParam().steps(lines);
  }
  EXPECT_EQ(terminal.Bytes(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiveLinesCase,
    ::testing::Values(
        // A second programmer's line comes below the first; a change redraws both in place.
        Case{"LinesRedrawnInPlace",
             [](LiveLines& l) {
               l.Set("VIRTUAL1", "VIRTUAL1  main image  Down     4%");
               l.Set("VIRTUAL2", "VIRTUAL2  main image  Down     0%");
               l.Set("VIRTUAL1", "VIRTUAL1  main image  Down     8%");
             },
             "VIRTUAL1  main image  Down     4%\n"
             "\x1b[1A\x1b[J"
             "VIRTUAL1  main image  Down     4%\nVIRTUAL2  main image  Down     0%\n"
             "\x1b[2A\x1b[J"
             "VIRTUAL1  main image  Down     8%\nVIRTUAL2  main image  Down     0%\n"},
        // The same text again sends nothing.
        Case{"UnchangedLineNotRedrawn",
             [](LiveLines& l) {
               l.Set("VIRTUAL1", "VIRTUAL1  main image  Down     4%");
               l.Set("VIRTUAL1", "VIRTUAL1  main image  Down     4%");
             },
             "VIRTUAL1  main image  Down     4%\n"},
        // A finished line on stdout: the live lines are taken away, the line printed where
        // they were, and they come back below it.
        Case{"StdoutLineAboveTheLiveLines",
             [](LiveLines& l) {
               l.Set("VIRTUAL1", "VIRTUAL1  sub image  Verify  90%");
               l.Set("VIRTUAL2", "VIRTUAL2  main image  Down    42%");
               l.Remove("VIRTUAL1");
               l.PrintOut("VIRTUAL1  OK  2.07 -> 2.08  278,944 bytes  3.4 s\n");
             },
             "VIRTUAL1  sub image  Verify  90%\n"
             "\x1b[1A\x1b[J"
             "VIRTUAL1  sub image  Verify  90%\nVIRTUAL2  main image  Down    42%\n"
             "\x1b[2A\x1b[J"
             "VIRTUAL2  main image  Down    42%\n"
             "\x1b[1A\x1b[J"
             "VIRTUAL1  OK  2.07 -> 2.08  278,944 bytes  3.4 s\n"
             "VIRTUAL2  main image  Down    42%\n"},
        // With nothing live, stdout gets its line and the terminal nothing more.
        Case{"NothingLive",
             [](LiveLines& l) {
               l.PrintOut("== summary ==\n");
               l.Remove("VIRTUAL1");
             },
             "== summary ==\n"},
        // A message on stderr goes above the lines too, ended with a line break when it has
        // none, so the lines start on a line of their own.
        Case{"MessageAboveTheLiveLines",
             [](LiveLines& l) {
               l.Set("VIRTUAL2", "VIRTUAL2  main image  Down    42%");
               l.PrintErr("VIRTUAL3: Read Current Status Fail!");
             },
             "VIRTUAL2  main image  Down    42%\n"
             "\x1b[1A\x1b[J"
             "VIRTUAL3: Read Current Status Fail!\n"
             "VIRTUAL2  main image  Down    42%\n"},
        // A line never wraps on an 80-column terminal: a wrapped one would leave the cursor a
        // row lower than the redraw goes up.
        Case{"LongLineCut", [](LiveLines& l) { l.Set("X", std::string(100, 'x')); },
             std::string(79, 'x') + "\n"}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// The job's progress as a programmer's live line: the image, the phase and the percentage, the
// second image after the first; gone when the programmer's printer is.
TEST(LiveLinesProgress, ProgrammersProgressIsItsLine) {
  Terminal terminal;
  ASSERT_NE(terminal.file(), nullptr);
  LiveLines lines(terminal.file(), terminal.out());
  {
    ProgressPrinter progress(ProgressMode::Tty, "VIRTUAL3", {"main", "sub"}, terminal.file(), true);
    progress.ShowOn(lines);
    progress.SetLabel("Down", true);
    progress.SetPercent(42);
    progress.EndLine();  // a message's end of line leaves the live line as it is
    progress.SetLabel("Verify", true);
    progress.SetPercent(100);
    progress.SetLabel("Down", true);
    progress.SetPercent(7);
    progress.Print("VIRTUAL3: cause: sub chunk 1: refused (\"Error\")\n");
  }
  EXPECT_EQ(terminal.Bytes(),
            "VIRTUAL3  main image  Down    42%\n"
            "\x1b[1A\x1b[J"
            "VIRTUAL3  main image  Verify 100%\n"
            "\x1b[1A\x1b[J"
            "VIRTUAL3  sub image  Down     7%\n"
            "\x1b[1A\x1b[J"
            "VIRTUAL3: cause: sub chunk 1: refused (\"Error\")\n"
            "VIRTUAL3  sub image  Down     7%\n"
            "\x1b[1A\x1b[J");
}

}  // namespace
}  // namespace torv2::cli
