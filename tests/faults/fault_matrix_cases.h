#pragma once
// The fault matrix's cases, shared by every transport it runs over (libusb under umockdev on
// Linux, WinUSB over the simulated Windows): every exchange point of a whole upgrade with every
// fault the virtual programmer can put there, what the failure tables say each must end in, and
// the "cause:" line the command line prints for it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/console_host.h"
#include "emulator/virtual_programmer.h"
#include "link/usb_transport.h"
#include "upgrade/upgrader.h"

namespace torv2::fault_matrix {

using namespace std::chrono_literals;
using emulator::FaultKind;
using emulator::Step;
using emulator::StepFault;
using upgrade::JobOutcome;

inline constexpr auto kTimeout = 100ms;

// What happens to the job when the device misbehaves in one part of the exchange.
enum class Stage {
  MainCommand,
  MainSize,
  MainDownload,
  MainReadBack,
  SubCommand,
  SubSize,
  SubDownload,
  BlockStatus,
  BlockData,
  SocketStatus,
  FinalVerdict,
  Version,
};

// Small images keep the matrix quick: the main image goes in two chunks, the sub image in two
// blocks, so every point has a first and a last occurrence.
inline constexpr std::size_t kMainSize = 9000;
inline constexpr std::size_t kSubSize = 1500;

struct Point {
  Step step;
  int occurrence;
  Stage stage;
};

inline const Point kPoints[] = {
    {Step::CommandAck, 1, Stage::MainCommand},    {Step::SizeReply, 1, Stage::MainSize},
    {Step::ChunkAck, 1, Stage::MainDownload},     {Step::ChunkAck, 2, Stage::MainDownload},
    {Step::CommandAck, 2, Stage::MainCommand},    {Step::SizeReply, 2, Stage::MainSize},
    {Step::ReadChunk, 1, Stage::MainReadBack},    {Step::ReadChunk, 2, Stage::MainReadBack},
    {Step::CommandAck, 3, Stage::SubCommand},     {Step::SizeReply, 3, Stage::SubSize},
    {Step::ChunkAck, 3, Stage::SubDownload},      {Step::ChunkAck, 4, Stage::SubDownload},
    {Step::CommandAck, 4, Stage::SubCommand},     {Step::SizeReply, 4, Stage::SubSize},
    {Step::BlockStatus, 1, Stage::BlockStatus},   {Step::BlockData, 1, Stage::BlockData},
    {Step::BlockStatus, 2, Stage::BlockStatus},   {Step::BlockData, 2, Stage::BlockData},
    {Step::SocketStatus, 1, Stage::SocketStatus}, {Step::FinalVerdict, 1, Stage::FinalVerdict},
    {Step::CommandAck, 5, Stage::Version},        {Step::VersionReply, 1, Stage::Version},
};

inline const FaultKind kKinds[] = {FaultKind::NoAnswer,    FaultKind::Unplug, FaultKind::Junk,
                                   FaultKind::WrongLength, FaultKind::Refuse, FaultKind::Corrupt};

struct Expected {
  JobOutcome outcome;
  bool mainOk = true;
  bool subOk = true;
  bool subSocketError = false;
  bool allSocketsUpgraded = true;
};

// The failure tables of the transfers and the job, as outcomes of one fault.
inline Expected Expect(Stage stage, FaultKind kind, bool lastChunk) {
  const bool lost = kind == FaultKind::NoAnswer || kind == FaultKind::Unplug;
  const Expected failed{JobOutcome::Failed, 0, 0, 0};
  const Expected completed{JobOutcome::Completed};
  switch (stage) {
    case Stage::MainCommand:
    case Stage::SubCommand:
    case Stage::Version: {
      // '-' makes the host send the frame again; an extra '+' is skipped by the next receiver.
      if (kind == FaultKind::Refuse || kind == FaultKind::WrongLength) return completed;
      if (stage == Stage::Version) return completed;  // only the version is not read
      return {JobOutcome::Failed, stage == Stage::SubCommand, false, false};
    }
    case Stage::MainSize:
    case Stage::SubSize: {
      const bool mainOk = stage == Stage::SubSize;
      // No packet at all leaves the flag alone; any packet but "OK" raises it.
      const bool refused = !lost && kind != FaultKind::Junk;
      return {JobOutcome::Failed, mainOk, false, refused};
    }
    case Stage::MainDownload:
      if (kind == FaultKind::Corrupt) return completed;  // a byte nobody looks at
      if (kind == FaultKind::Unplug) return failed;      // the sub stage's first command fails too
      // A lost or bad acknowledgement fails the main image only (the device answers the sub
      // stage's command again); the sub stage lowers the flag again.
      return {JobOutcome::Completed, 0, 1, 0};
    case Stage::MainReadBack:
      if (kind == FaultKind::Unplug) return failed;
      if (kind == FaultKind::WrongLength && lastChunk) {
        // One byte more than the last chunk: the read asked for the chunk's length and got it,
        // the byte too many stays in the receive buffer and is taken as the answer to the sub
        // stage's first command, which fails the job.
        return {JobOutcome::Failed, 1, 0, 0};
      }
      return {JobOutcome::Completed, 0, 1, 0};  // differs, or more than a chunk: main fails
    case Stage::SubDownload:
      if (kind == FaultKind::Corrupt) return completed;
      return {JobOutcome::Failed, true, false, !lost};
    case Stage::BlockStatus:
      return {JobOutcome::Failed, true, false, !lost && kind != FaultKind::Junk};
    case Stage::BlockData:
      return {JobOutcome::Failed, 1, 0, 0};
    case Stage::SocketStatus:
      if (kind == FaultKind::Corrupt) return {JobOutcome::Completed, 1, 1, 0, false};
      return {JobOutcome::Failed, 1, 0, 0};
    case Stage::FinalVerdict:
      if (lost || kind == FaultKind::Junk) return {JobOutcome::Failed, 1, 0, 0};
      return {JobOutcome::Completed, 1, 0, 0};
  }
  return failed;
}

// The step of the exchange each point is, as the cause line names it.
inline std::string StepOf(const Point& p) {
  const int n = p.occurrence;
  switch (p.step) {
    case Step::CommandAck: {
      static const char* const kCommands[] = {"main write command", "main read-back command",
                                              "sub write command", "sub read-back command",
                                              "version query"};
      return kCommands[n - 1];
    }
    case Step::SizeReply: {
      static const char* const kRecords[] = {"main size record", "main read-back size record",
                                             "sub size record", "sub read-back size record"};
      return kRecords[n - 1];
    }
    case Step::ChunkAck:
      return n <= 2 ? "main chunk " + std::to_string(n) : "sub chunk " + std::to_string(n - 2);
    case Step::ReadChunk:
      return "main read-back chunk " + std::to_string(n);
    case Step::BlockStatus:
    case Step::BlockData:
      return "sub block " + std::to_string(n);
    case Step::SocketStatus:
      return "socket status";
    case Step::FinalVerdict:
      return "final verdict";
    case Step::VersionReply:
    case Step::StatusReply:
      return "version query";
  }
  return "";
}

// The "cause:" line for a fault, or "" where the job meets none (the host sends a refused frame
// again, a changed byte nobody looks at, the socket table shows a changed state). For the
// version query after the job it is the line the job's host logged.
inline std::string ExpectCause(const Point& p, FaultKind kind) {
  const std::string step = StepOf(p);
  const bool main = p.stage == Stage::MainDownload || p.stage == Stage::MainReadBack;
  // A main image that failed without stopping the job: the job goes on with the sub stage, and
  // a device that has gone stops it at the sub stage's first command. A device that only lost
  // one answer takes the sub stage's command.
  const std::string stopped = main ? "; the job stopped at sub write command" : "";
  const std::string timeOut = "time-out after 100 ms (transfer: timed out)";
  switch (kind) {
    case FaultKind::NoAnswer:
      return "cause: " + step + ": " + timeOut;
    case FaultKind::Unplug:
      return "cause: " + step + ": device gone (transfer: no device)" + stopped;
    case FaultKind::Junk:
      switch (p.step) {
        case Step::CommandAck:
          return "cause: " + step + ": junk (\"\\x01\")";
        case Step::ChunkAck:
          return "cause: " + step + ": junk (\"\\x01junk\\x7f\")";
        case Step::ReadChunk:  // a chunk of '-' in place of the data
          return "cause: " + step + ": read-back differs at offset " +
                 std::to_string((p.occurrence - 1) * 8192);
        default:  // no packet in it: the receiver passes over it, and then nothing comes
          return "cause: " + step + ": junk, then " + timeOut;
      }
    case FaultKind::WrongLength:
      switch (p.step) {
        case Step::CommandAck:  // "++": the second '+' is passed over
          return "";
        case Step::SizeReply:
        case Step::BlockStatus:
        case Step::FinalVerdict:
          return "cause: " + step + ": refused (\"O\")";
        case Step::ChunkAck:
          return "cause: " + step + ": short answer (9 of 10 bytes)";
        case Step::ReadChunk:
          // The byte too many of the first chunk comes in front of the second, which is then
          // too long; the one after the last chunk is taken as the answer to the next command.
          return p.occurrence == 1 ? "cause: main read-back chunk 2: too long (809 of 808 bytes)"
                                   : "cause: sub write command: junk (\"\\x00\")";
        case Step::BlockData:
          return "cause: " + step + ": short answer (" +
                 (p.occurrence == 1 ? "999 of 1000" : "499 of 500") + " bytes)";
        case Step::SocketStatus:
          return "cause: " + step + ": short answer (7 of 8 bytes)";
        case Step::VersionReply:  // the last digit cut off: no version in it
          return "cause: " + step + ": junk (\"MainExe - TORV2 Execute V02.0\")";
        default:
          return "";
      }
    case FaultKind::Refuse:
      switch (p.step) {
        case Step::CommandAck:  // '-': the frame goes again
          return "";
        case Step::SizeReply:
        case Step::BlockStatus:
          return "cause: " + step + ": refused (\"Error\")";
        case Step::FinalVerdict:
          return "cause: " + step + ": refused (\"NG\")";
        case Step::ChunkAck:
          return "cause: " + step + ": refused (\"+" + std::to_string((p.occurrence - 1) % 2) +
                 ".ok.ok.-\")";
        case Step::ReadChunk:
          return "cause: " + step + ": read-back differs at offset " +
                 std::to_string((p.occurrence - 1) * 8192);
        case Step::BlockData:
          return "cause: " + step + ": short answer (5 of " + (p.occurrence == 1 ? "1000" : "500") +
                 " bytes)";
        case Step::SocketStatus:
          return "cause: " + step + ": short answer (5 of 8 bytes)";
        case Step::VersionReply:
          return "cause: " + step + ": junk (\"Error\")";
        default:
          return "";
      }
    case FaultKind::Corrupt:
      switch (p.step) {
        case Step::CommandAck:
          return "cause: " + step + ": junk (\"*\")";
        case Step::SizeReply:
        case Step::BlockStatus:
        case Step::FinalVerdict:  // "OK" with a bit changed
          return "cause: " + step + ": refused (\"OJ\")";
        case Step::ReadChunk:  // the middle byte of the chunk
          return "cause: " + step + ": read-back differs at offset " +
                 std::to_string(p.occurrence == 1 ? 4096 : 8192 + 404);
        case Step::BlockData:
          return "cause: " + step + ": read-back differs at offset " +
                 std::to_string(p.occurrence == 1 ? 500 : 1000 + 250);
        default:
          return "";
      }
  }
  return "";
}

// Times every transfer of the devices it opens.
class TimedTransport final : public link::UsbTransport {
 public:
  explicit TimedTransport(link::UsbTransport& inner) : inner_(inner) {}

  std::unique_ptr<link::UsbDevice> OpenDevice(const link::Guid& guid,
                                              std::chrono::milliseconds timeout) override {
    auto device = inner_.OpenDevice(guid, timeout);
    if (!device) return nullptr;
    return std::make_unique<TimedDevice>(std::move(device), longest_);
  }
  std::chrono::steady_clock::duration longest() const { return longest_; }

 private:
  class TimedDevice final : public link::UsbDevice {
   public:
    TimedDevice(std::unique_ptr<link::UsbDevice> inner,
                std::chrono::steady_clock::duration& longest)
        : inner_(std::move(inner)), longest_(longest) {}
    std::optional<std::vector<link::PipeInfo>> QueryPipes() override {
      return inner_->QueryPipes();
    }
    link::TransferResult BulkRead(std::uint8_t pipe, std::span<std::uint8_t> buffer,
                                  std::chrono::milliseconds timeout) override {
      return Timed([&] { return inner_->BulkRead(pipe, buffer, timeout); });
    }
    link::TransferResult BulkWrite(std::uint8_t pipe, std::span<const std::uint8_t> data,
                                   std::chrono::milliseconds timeout) override {
      return Timed([&] { return inner_->BulkWrite(pipe, data, timeout); });
    }
    void Cancel() override { inner_->Cancel(); }

   private:
    template <class F>
    link::TransferResult Timed(F&& transfer) {
      const auto start = std::chrono::steady_clock::now();
      const link::TransferResult r = transfer();
      longest_ = std::max(longest_, std::chrono::steady_clock::now() - start);
      return r;
    }
    std::unique_ptr<link::UsbDevice> inner_;
    std::chrono::steady_clock::duration& longest_;
  };

  link::UsbTransport& inner_;
  std::chrono::steady_clock::duration longest_{};
};

// step x fault -> passed, for the table printed at the end.
inline std::map<std::pair<int, int>, bool>& Results() {
  static std::map<std::pair<int, int>, bool> results;
  return results;
}

// What one attempt ended in.
struct Attempt {
  upgrade::JobResult job;
  bool subSocketError;
  std::vector<std::string> messages;
  std::vector<upgrade::Cause> logged;
  bool linkClosed;
  std::chrono::steady_clock::duration longestTransfer;
};

// The checks of one faulted attempt against the failure tables.
inline void CheckFaultedRun(const Point& point, FaultKind kind, const Attempt& run) {
  const Expected want = Expect(point.stage, kind, point.occurrence == 2);
  const bool failed = want.outcome == JobOutcome::Failed;
  EXPECT_EQ(run.job.outcome, want.outcome);
  EXPECT_EQ(run.job.mainOk, want.mainOk);
  EXPECT_EQ(run.job.subOk, want.subOk);
  EXPECT_EQ(run.subSocketError, want.subSocketError);
  EXPECT_EQ(run.messages, failed ? std::vector<std::string>{upgrade::kMsgUpgradeError}
                                 : std::vector<std::string>{});
  if (want.outcome == JobOutcome::Completed) {
    ASSERT_TRUE(run.job.sockets.has_value());
    const bool allU = std::all_of(run.job.sockets->begin(), run.job.sockets->end(),
                                  [](std::uint8_t c) { return c == 'U'; });
    EXPECT_EQ(allU, want.allSocketsUpgraded);
  }
  // The cause: the job's, or for the version query after it, the one its host was given.
  std::string line;
  if (point.stage == Stage::Version) {
    if (!run.logged.empty()) line = cli::CauseLine(run.logged.back());
  } else if (run.job.cause) {
    line = cli::CauseLine(*run.job.cause);
    // The job gave its host the same cause.
    EXPECT_EQ(run.logged.empty() ? "" : cli::CauseLine(run.logged.back()), line);
  }
  EXPECT_EQ(line, ExpectCause(point, kind));
  EXPECT_TRUE(run.linkClosed);
  EXPECT_LT(run.longestTransfer, kTimeout + 400ms) << "a transfer waited past its time-out";
}

// The summary: exchange points down, faults across.
// After the fault: the next attempt on the same device completes, with no message.
inline void CheckTheNextAttemptCompletes(const Attempt& retry) {
  EXPECT_EQ(retry.job.outcome, JobOutcome::Completed);
  EXPECT_EQ(retry.job.mainOk, 1);
  EXPECT_EQ(retry.job.subOk, 1);
  EXPECT_TRUE(retry.messages.empty());
}

inline void PrintSummary() {
  if (Results().empty()) return;
  std::printf("\n%-18s", "step");
  for (FaultKind kind : kKinds) {
    std::printf(" %-13s", std::string(emulator::FaultKindName(kind)).c_str());
  }
  std::printf("\n");
  int passed = 0, ran = 0;
  for (int i = 0; i < static_cast<int>(std::size(kPoints)); ++i) {
    const std::string step = std::string(emulator::StepName(kPoints[i].step)) + " #" +
                             std::to_string(kPoints[i].occurrence);
    std::printf("%-18s", step.c_str());
    for (FaultKind kind : kKinds) {
      const auto it = Results().find({i, static_cast<int>(kind)});
      const char* cell = it == Results().end() ? "-" : it->second ? "passed" : "FAILED";
      if (it != Results().end()) {
        ++ran;
        passed += it->second;
      }
      std::printf(" %-13s", cell);
    }
    std::printf("\n");
  }
  std::printf("%d of %d cases passed\n", passed, ran);
}

inline std::string CaseName(const ::testing::TestParamInfo<std::tuple<int, FaultKind>>& info) {
  const auto [index, kind] = info.param;
  std::string name = std::string(emulator::StepName(kPoints[index].step)) + "_" +
                     std::to_string(kPoints[index].occurrence) + "_" +
                     std::string(emulator::FaultKindName(kind));
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

}  // namespace torv2::fault_matrix
