// The upgrade job: write the main image, read it back and compare it; the same for the sub image
// with the device's verdict and the socket states; then the report, a fresh version, the result
// dialog and the end of the program. A failure on the way shows one message and leaves the
// program ready for another attempt.
#include <algorithm>
#include <cstring>
#include <optional>
#include <system_error>

#include "link/failure.h"
#include "link/packet.h"
#include "upgrade/upgrader.h"

namespace torv2::upgrade {
namespace {

// The offset of the first byte that differs, or nullopt when the image came back whole.
std::optional<std::size_t> FirstDifference(std::span<const std::uint8_t> readBack,
                                           const FirmwareImage& image) {
  if (std::memcmp(readBack.data(), image.data, image.size) == 0) return std::nullopt;
  const auto [at, ignored] = std::mismatch(readBack.begin(), readBack.end(), image.data);
  return static_cast<std::size_t>(at - readBack.begin());
}

link::ExchangeFailure Differs(std::size_t offset) {
  link::ExchangeFailure f;
  f.what = link::Happened::ReadBackDiffers;
  f.offset = offset;
  return f;
}

}  // namespace

Upgrader::Upgrader(link::UsbLink& link, UpgradeHost& host, UpgraderTimings timings)
    : link_(link), host_(host), timings_(timings) {}

Upgrader::~Upgrader() {
  Shutdown();
}

void Upgrader::Message(std::string_view text) {
  // A program that is closing shows nothing more.
  if (!link_.Cancelled()) host_.ShowMessage(text);
}

void Upgrader::Step(std::string_view text) {
  if (!link_.Cancelled()) host_.Step(text);
}

void Upgrader::LogCause(const Cause& cause) {
  if (!link_.Cancelled()) host_.LogCause(cause);
}

void Upgrader::NoteCause(const Cause& cause) {
  if (!taskCause_) taskCause_ = cause;
  LogCause(cause);
}

Cause Upgrader::CauseAt(ExchangeStep step, ImageKind image) const {
  const link::ExchangeFailure& f = link_.failure();
  return Cause{StepAt{step, image, f.number}, f, std::nullopt};
}

JobResult Upgrader::LastJob() const {
  std::lock_guard lock(stateMutex_);
  return lastJob_;
}

UpgradeReport Upgrader::Report() const {
  std::lock_guard lock(stateMutex_);
  return report_;
}

void Upgrader::SetUpgradeVersionLine(std::string line) {
  std::lock_guard lock(stateMutex_);
  report_.upgradeVersion = std::move(line);
}

bool Succeeded(const JobResult& job) {
  return job.outcome == JobOutcome::Completed && job.mainOk && job.subOk && job.sockets &&
         std::all_of(job.sockets->begin(), job.sockets->end(),
                     [](std::uint8_t c) { return c == link::kSocketUpgraded; });
}

void Upgrader::TellObserver(const Attempt& attempt) {
  if (observer_) observer_->AttemptEnded(attempt);
}

void Upgrader::TellObserverBegan(const Attempt& attempt) {
  if (observer_) observer_->AttemptBegan(attempt);
}

void Upgrader::StartJob() {
  busy_ = true;
  host_.EnableUpdateButton(false);
  if (!deviceUsable_) {
    const auto started = std::chrono::system_clock::now();
    Message(kMsgCommunicationRefused);
    const JobResult refused{JobOutcome::Refused};
    {
      std::lock_guard lock(stateMutex_);
      lastJob_ = refused;
    }
    TellObserver({.kind = AttemptKind::Upgrade, .started = started, .job = &refused});
    busy_ = false;
    host_.EnableUpdateButton(true);
    return;
  }
  {
    std::lock_guard lock(stateMutex_);
    if (stopping_) return;
    jobHoldsLink_ = true;  // from now on a version query waits for the job
  }
  if (worker_.joinable()) worker_.join();  // the previous job has ended: its thread is done
  try {
    worker_ = std::thread([this] { UpgradeWorker(); });
  } catch (const std::system_error&) {
    // No thread: undo what the click did, so the user can try again.
    Message(kMsgUpgradeError);
    {
      std::lock_guard lock(stateMutex_);
      jobHoldsLink_ = false;
    }
    busy_ = false;
    host_.EnableUpdateButton(true);
  }
}

void Upgrader::RunWhenLinkFree(std::function<void()> task) {
  {
    std::lock_guard lock(stateMutex_);
    if (stopping_) return;
    if (jobHoldsLink_) {
      deferred_.push_back(std::move(task));
      return;
    }
  }
  task();
}

void Upgrader::RunDeferredTasks() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard lock(stateMutex_);
    tasks.swap(deferred_);
    jobHoldsLink_ = false;
  }
  for (auto& task : tasks) {
    if (!link_.Cancelled()) task();
  }
}

void Upgrader::WaitForJob() {
  if (worker_.joinable()) worker_.join();
}

void Upgrader::Shutdown() {
  {
    std::lock_guard lock(stateMutex_);
    stopping_ = true;
    deferred_.clear();
  }
  stopped_.notify_all();
  link_.Cancel();
  if (worker_.joinable()) worker_.join();
}

void Upgrader::CancelJob() {
  link_.StopAtNextTransfer();
  { std::lock_guard lock(stateMutex_); }  // a waiter has either not looked yet or waits now
  stopped_.notify_all();
}

void Upgrader::UpgradeWorker() {
  const auto start = std::chrono::steady_clock::now();
  Attempt attempt{.kind = AttemptKind::Upgrade, .started = std::chrono::system_clock::now()};
  {
    std::lock_guard lock(stateMutex_);
    if (currentVersion_ > 0.0) attempt.versionBefore = currentVersion_;
  }
  // Before the first image is written: a program killed on the way leaves this much behind.
  TellObserverBegan(attempt);
  JobResult result;
  const std::span<std::uint8_t> readBackBuffer(readBackBuffer_.get(), kReadBackBufferSize);
  bool completed = false;
  {
    std::lock_guard task(linkMutex_);
    completed = RunStages(result, readBackBuffer);
    if (completed) {
      // Compose the report, then a fresh version over the link that is still open.
      {
        std::lock_guard lock(stateMutex_);
        ComposeUpgradeReport(report_, result.mainOk, result.subOk, result.sockets, subSocketError_);
      }
      Step("reading the version again");
      deviceUsable_ = ReadDeviceVersionHoldingLink();
      if (deviceUsable_) attempt.versionAfter = CurrentVersion();
    } else {
      // Not open: the cause came with the message that said so.
      if (result.cause && !result.linkNotReady) LogCause(*result.cause);
      Message(kMsgUpgradeError);
      link_.CloseUsbLink();
    }
  }
  {
    std::lock_guard lock(stateMutex_);
    lastJob_ = result;
    lastJob_.outcome = completed ? JobOutcome::Completed : JobOutcome::Failed;
    lastJob_.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
  }
  const JobResult ended = LastJob();
  attempt.job = &ended;
  attempt.linkOpened = !result.linkNotReady;
  attempt.cancelled = link_.Cancelled();
  attempt.duration = ended.took;
  TellObserver(attempt);
  link::ProgressSink& progress = host_.Progress();
  if (completed) {
    if (result.cause) LogCause(*result.cause);
    if (!link_.Cancelled()) host_.ShowResult(Report());
    RunDeferredTasks();
    busy_ = false;
    link_.CloseUsbLink();
    progress.SetPercent(0);
    progress.SetLabel("", false);
    host_.EnableUpdateButton(true);
    host_.EndProgram();
    return;
  }
  RunDeferredTasks();
  busy_ = false;
  progress.SetPercent(0);
  progress.SetLabel("", false);
  host_.EnableUpdateButton(true);
}

// Steps 1 to 4 of the job; false means the error path. Each failure is noted in result.cause:
// the first one met, and where the job stopped when that came later.
bool Upgrader::RunStages(JobResult& result, std::span<std::uint8_t> readBackBuffer) {
  // The build refuses images that do not fit; one that got here anyway cannot be verified.
  if (mainImage_.size > readBackBuffer.size() || subImage_.size > readBackBuffer.size()) {
    return false;
  }
  const auto note = [&](Cause cause) {
    if (!result.cause) result.cause = std::move(cause);
  };
  const auto stop = [&](ExchangeStep step, ImageKind image) {
    Cause cause = CauseAt(step, image);
    if (result.cause) {
      result.cause->stoppedAt = cause.at;
    } else {
      result.cause = std::move(cause);
    }
    return false;
  };
  if (!link_.linkOpen) {
    link_.linkOpen = link_.OpenUsbLink();
    if (!link_.linkOpen) {
      result.linkNotReady = true;
      result.cause = CauseAt(ExchangeStep::Opening);
      LogCause(*result.cause);
      Message(kMsgDeviceNotReady);
      return false;
    }
  }
  link::ProgressSink& progress = host_.Progress();
  link::TransferContext t{link_, progress, subSocketError_};

  if (mainImage_.loaded()) {
    constexpr ImageKind kMain = ImageKind::Main;
    const std::span<const std::uint8_t> image(mainImage_.data, mainImage_.size);
    Step("writing the main image (" + std::to_string(mainImage_.size) + " bytes)");
    if (!link::SendCommandPacket(link_, "WriteFirmware:", "Torv2MainExe,")) {
      return stop(ExchangeStep::WriteCommand, kMain);
    }
    if (!link::AnnounceImageSize(t, mainImage_.size)) return stop(ExchangeStep::SizeRecord, kMain);
    progress.SetLabel("Down", true);
    progress.SetPercent(0);
    // A failed main download or read-back only marks the main image as failed; the sub stage
    // still runs.
    if (link::DownloadImage(t, image, link::kMainChunk)) {
      result.mainBytesWritten = mainImage_.size;
      if (!link::SendCommandPacket(link_, "ReadFirmware:", "Torv2MainExe,")) {
        return stop(ExchangeStep::ReadCommand, kMain);
      }
      if (!link::AnnounceImageSize(t, mainImage_.size)) {
        return stop(ExchangeStep::ReadSizeRecord, kMain);
      }
      Step("reading the main image back");
      progress.SetLabel("Verify", true);
      progress.SetPercent(0);
      const auto readBack = std::span(readBackBuffer).first(mainImage_.size);
      if (!link::ReadBackImage(t, readBack)) {
        note(CauseAt(ExchangeStep::ReadBackChunk, kMain));
      } else if (const auto at = FirstDifference(readBack, mainImage_)) {
        const int chunk = static_cast<int>(*at / link::kMainChunk) + 1;
        note(Cause{{ExchangeStep::ReadBackChunk, kMain, chunk}, Differs(*at), std::nullopt});
        Step("the main image read back differs; the sub image comes next all the same");
      } else {
        result.mainOk = true;
        Step("main image verified");
      }
    } else {
      note(CauseAt(ExchangeStep::Chunk, kMain));
    }
  }

  // A program that is closing cancelled the link: what failed then is not the device's verdict.
  if (link_.Cancelled()) return false;

  if (subImage_.loaded()) {
    constexpr ImageKind kSub = ImageKind::Sub;
    const std::span<const std::uint8_t> image(subImage_.data, subImage_.size);
    Step("writing the sub image (" + std::to_string(subImage_.size) + " bytes)");
    if (!link::SendCommandPacket(link_, "WriteFirmware:", "Torv2SubExe,")) {
      return stop(ExchangeStep::WriteCommand, kSub);
    }
    if (!link::AnnounceImageSize(t, subImage_.size)) return stop(ExchangeStep::SizeRecord, kSub);
    progress.SetLabel("Down", true);
    progress.SetPercent(0);
    if (!link::DownloadImage(t, image, link::kSubBlock)) return stop(ExchangeStep::Chunk, kSub);
    result.subBytesWritten = subImage_.size;
    if (!link::SendCommandPacket(link_, "ReadFirmware:", "Torv2SubExe,")) {
      return stop(ExchangeStep::ReadCommand, kSub);
    }
    if (!link::AnnounceImageSize(t, subImage_.size)) {
      return stop(ExchangeStep::ReadSizeRecord, kSub);
    }
    Step("reading the sub image back");
    progress.SetLabel("Verify", true);
    progress.SetPercent(0);
    link::SubSocketStatus sockets{};
    const auto readBack = std::span(readBackBuffer).first(subImage_.size);
    if (!link::ReadBackSubImage(t, sockets, readBack)) {
      // A failure after the last block is the socket status's.
      const bool inBlocks = link_.failure().number > 0;
      return stop(inBlocks ? ExchangeStep::SubBlock : ExchangeStep::SocketStatus, kSub);
    }
    if (const auto at = FirstDifference(readBack, subImage_)) {
      const int block = static_cast<int>(*at / link::kSubBlock) + 1;
      link_.failure() = Differs(*at);
      link_.failure().number = block;
      return stop(ExchangeStep::SubBlock, kSub);
    }
    Step("sub image verified");
    Step(DescribeSockets(sockets));
    const int n = link::ReceiveReplyPacket(link_, readBackBuffer);
    if (n == 0) return stop(ExchangeStep::FinalVerdict, kSub);
    const char* verdict = reinterpret_cast<const char*>(readBackBuffer.data());
    result.subOk = std::strcmp(verdict, "OK") == 0;
    Step("final verdict: " + link::QuoteDeviceBytes(readBackBuffer.first(
                                 strnlen(verdict, static_cast<std::size_t>(n)))));
    if (!result.subOk) {
      link::ExchangeFailure refused;
      refused.what = link::Happened::Refused;
      refused.KeepAnswer(readBackBuffer.first(static_cast<std::size_t>(n)));
      note(Cause{{ExchangeStep::FinalVerdict, kSub, 0}, refused, std::nullopt});
    }
    result.sockets = sockets;
    subSocketError_ = false;
  }
  return !link_.Cancelled();
}

}  // namespace torv2::upgrade
