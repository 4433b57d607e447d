// What the command line prints for a cause: the line under the message and its JSON form.
#include <gtest/gtest.h>

#include <string>

#include "cli/advice.h"
#include "cli/console_host.h"

namespace torv2::cli {
namespace {

using namespace std::chrono_literals;
using link::Happened;
using link::TransferStatus;
using upgrade::Cause;
using upgrade::ExchangeStep;
using upgrade::ImageKind;

struct CauseCase {
  const char* name;
  Cause cause;
  const char* line;
  const char* json;
};

Cause Make(ExchangeStep step, ImageKind image, int number, link::ExchangeFailure f) {
  return Cause{{step, image, number}, std::move(f), std::nullopt};
}

link::ExchangeFailure TimedOutAfterJunk() {
  link::ExchangeFailure f = link::TransferFailure(TransferStatus::TimedOut, 6000ms);
  f.before = Happened::Junk;
  return f;
}

link::ExchangeFailure Differs(std::size_t offset) {
  link::ExchangeFailure f;
  f.what = Happened::ReadBackDiffers;
  f.offset = offset;
  return f;
}

link::ExchangeFailure NoPermission() {
  link::ExchangeFailure f;
  f.what = Happened::NotFound;
  f.unchecked = {{1, {2, 3}, link::OpenStatus::AccessDenied}, {3, {}, link::OpenStatus::NoDevice}};
  return f;
}

link::ExchangeFailure RefusedError() {
  link::ExchangeFailure f;
  f.what = Happened::Refused;
  const std::uint8_t error[] = {'E', 'r', 'r', 'o', 'r'};
  f.KeepAnswer(error);
  return f;
}

Cause StoppedLater() {
  Cause c = Make(ExchangeStep::Chunk, ImageKind::Main, 2,
                 link::TransferFailure(TransferStatus::NoDevice, 6000ms));
  c.stoppedAt = upgrade::StepAt{ExchangeStep::WriteCommand, ImageKind::Sub, 0};
  return c;
}

TEST(CauseText, LineAndJson) {
  const CauseCase cases[] = {
      {"time-out after junk",
       Make(ExchangeStep::SizeRecord, ImageKind::Sub, 0, TimedOutAfterJunk()),
       "cause: sub size record: junk, then time-out after 6000 ms (transfer: timed out)",
       R"j({"before":"junk","cause":"sub size record: junk, then time-out after 6000 ms )j"
       R"j((transfer: timed out)","step":"sub size record","timeout_ms":6000,)j"
       R"j("transfer":"timed out","what":"time-out"})j"},
      {"read-back differs", Make(ExchangeStep::ReadBackChunk, ImageKind::Main, 2, Differs(12288)),
       "cause: main read-back chunk 2: read-back differs at offset 12288",
       R"j({"cause":"main read-back chunk 2: read-back differs at offset 12288","number":2,)j"
       R"j("offset":12288,"step":"main read-back chunk","transfer":"ok",)j"
       R"j("what":"read-back-differs"})j"},
      {"no permission", Make(ExchangeStep::Opening, ImageKind::Main, 0, NoPermission()),
       "cause: opening the programmer: no programmer found; 2 USB devices could not be checked "
       "(bus 1 port 1-2.3: no permission, bus 3: device gone)",
       R"j({"cause":"opening the programmer: no programmer found; 2 USB devices could not be )j"
       R"j(checked (bus 1 port 1-2.3: no permission, bus 3: device gone)",)j"
       R"j("step":"opening the programmer","transfer":"ok","unchecked":[)j"
       R"j({"place":"bus 1 port 1-2.3","why":"no permission"},)j"
       R"j({"place":"bus 3","why":"device gone"}],"what":"not-found"})j"},
      // The transfer went through: its status says nothing more and is left out.
      {"refused", Make(ExchangeStep::SubBlock, ImageKind::Sub, 1, RefusedError()),
       "cause: sub block 1: refused (\"Error\")",
       R"j({"answer":"\"Error\"","cause":"sub block 1: refused (\"Error\")","number":1,)j"
       R"j("step":"sub block","transfer":"ok","what":"refused"})j"},
      {"stopped later", StoppedLater(),
       "cause: main chunk 2: device gone (transfer: no device); the job stopped at sub write "
       "command",
       R"j({"cause":"main chunk 2: device gone (transfer: no device); the job stopped at sub )j"
       R"j(write command","number":2,"step":"main chunk","stopped_at":"sub write command",)j"
       R"j("transfer":"no device","what":"device-gone"})j"},
  };
  for (const CauseCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CauseLine(c.cause), c.line);
    EXPECT_EQ(CauseJson(c.cause, ""), c.json);
  }
  EXPECT_EQ(CauseJson(cases[0].cause, "VIRTUAL1").rfind(R"j({"before":"junk","cause":)j", 0), 0u);
  EXPECT_NE(CauseJson(cases[0].cause, "VIRTUAL1").find(R"j("device":"VIRTUAL1")j"),
            std::string::npos);
}

// A programmer another program holds: the cause says so, and the fix names what to close.
TEST(CauseText, HeldProgrammer) {
  link::ExchangeFailure f;
  f.what = Happened::Busy;
  const Cause cause = Make(ExchangeStep::Opening, ImageKind::Main, 0, f);
  EXPECT_EQ(CauseLine(cause),
            "cause: opening the programmer: device busy (in use by another program)");
  const Advice advice =
      AdviseOn(cause, {.rerun = "torv2-upgrader-cli status --device A"}, "USB UnConn", false);
#ifdef _WIN32
  EXPECT_EQ(advice.line,
            "fix: close the program that holds the programmer (Windows does not say which: the "
            "desktop upgrader, another torv2-upgrader-cli, or another program that opens USB "
            "devices) and run `torv2-upgrader-cli status --device A` again");
#else
  EXPECT_EQ(advice.line,
            "fix: close the program that holds the programmer (the desktop upgrader or another "
            "torv2-upgrader-cli) and run `torv2-upgrader-cli status --device A` again");
#endif
}

}  // namespace
}  // namespace torv2::cli
