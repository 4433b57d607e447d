// The upgrade job: write the main image, read it back and compare it; the same for the sub image
// with the device's verdict and the socket states; then the report, a fresh version, the result
// dialog and the end of the program. A failure on the way shows one message and leaves the
// program ready for another attempt.
#include <algorithm>
#include <cstring>
#include <optional>
#include <system_error>

#include "link/packet.h"
#include "upgrade/upgrader.h"

namespace torv2::upgrade {
namespace {

constexpr std::uint32_t kMainDownloadChunk = 8192;
constexpr std::uint32_t kSubDownloadChunk = 1000;

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

void Upgrader::LogCause(const Cause& cause) {
  if (!link_.Cancelled()) host_.LogCause(cause);
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
  report_.m_strUpgradeVersion = std::move(line);
}

void Upgrader::TellObserver(const Attempt& attempt) {
  if (observer_) observer_->AttemptEnded(attempt);
}

void Upgrader::OnBnClickedUpdate() {
  m_bBusy = 1;
  host_.EnableUpdateButton(false);
  if (!m_bDeviceUsable) {
    const auto started = std::chrono::system_clock::now();
    Message(kMsgCommunicationRefused);
    const JobResult refused{JobOutcome::Refused};
    {
      std::lock_guard lock(stateMutex_);
      lastJob_ = refused;
    }
    TellObserver({.kind = AttemptKind::Upgrade, .started = started, .job = &refused});
    m_bBusy = 0;
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
    m_bBusy = 0;
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
    if (m_dCurrentVersion > 0.0) attempt.versionBefore = m_dCurrentVersion;
  }
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
        ComposeUpgradeReport(report_, result.mainOk, result.subOk, result.sockets, subSocketError);
      }
      m_bDeviceUsable = ReadDeviceVersionHoldingLink();
      if (m_bDeviceUsable) attempt.versionAfter = CurrentVersion();
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
  }
  const JobResult ended = LastJob();
  attempt.job = &ended;
  attempt.linkOpened = !result.linkNotReady;
  attempt.cancelled = link_.Cancelled();
  attempt.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  TellObserver(attempt);
  link::ProgressSink& progress = host_.Progress();
  if (completed) {
    if (result.cause) LogCause(*result.cause);
    if (!link_.Cancelled()) host_.ShowResult(Report());
    RunDeferredTasks();
    m_bBusy = 0;
    link_.CloseUsbLink();
    progress.SetPos(0);
    progress.SetText("", false);
    host_.EnableUpdateButton(true);
    host_.EndProgram();
    return;
  }
  RunDeferredTasks();
  m_bBusy = 0;
  progress.SetPos(0);
  progress.SetText("", false);
  host_.EnableUpdateButton(true);
}

// Steps 1 to 4 of the job; false means the error path. Each failure is noted in result.cause:
// the first one met, and where the job stopped when that came later.
bool Upgrader::RunStages(JobResult& result, std::span<std::uint8_t> readBackBuffer) {
  // The build refuses images that do not fit; one that got here anyway cannot be verified.
  if (m_mainImage.size > readBackBuffer.size() || m_subImage.size > readBackBuffer.size()) {
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
  progress.SetRange(0, 100);
  progress.SetStep(1);
  link::TransferContext t{link_, progress, subSocketError};

  if (m_mainImage.loaded()) {
    constexpr ImageKind kMain = ImageKind::Main;
    const std::span<const std::uint8_t> image(m_mainImage.data, m_mainImage.size);
    if (!link::SendCommandPacket(link_, "WriteFirmware:", "Torv2MainExe,")) {
      return stop(ExchangeStep::WriteCommand, kMain);
    }
    if (!link::AnnounceImageSize(t, m_mainImage.size)) return stop(ExchangeStep::SizeRecord, kMain);
    progress.SetText("Down", true);
    progress.SetPos(0);
    // A failed main download or read-back only marks the main image as failed; the sub stage
    // still runs.
    if (link::DownloadImage(t, image, kMainDownloadChunk)) {
      if (!link::SendCommandPacket(link_, "ReadFirmware:", "Torv2MainExe,")) {
        return stop(ExchangeStep::ReadCommand, kMain);
      }
      if (!link::AnnounceImageSize(t, m_mainImage.size)) {
        return stop(ExchangeStep::ReadSizeRecord, kMain);
      }
      progress.SetText("Verify", true);
      progress.SetPos(0);
      const auto readBack = std::span(readBackBuffer).first(m_mainImage.size);
      if (!link::ReadBackImage(t, readBack)) {
        note(CauseAt(ExchangeStep::ReadBackChunk, kMain));
      } else if (const auto at = FirstDifference(readBack, m_mainImage)) {
        const int chunk = static_cast<int>(*at / link::kMainReadBackChunk) + 1;
        note(Cause{{ExchangeStep::ReadBackChunk, kMain, chunk}, Differs(*at), std::nullopt});
      } else {
        result.mainOk = 1;
      }
    } else {
      note(CauseAt(ExchangeStep::Chunk, kMain));
    }
  }

  // A program that is closing cancelled the link: what failed then is not the device's verdict.
  if (link_.Cancelled()) return false;

  if (m_subImage.loaded()) {
    constexpr ImageKind kSub = ImageKind::Sub;
    const std::span<const std::uint8_t> image(m_subImage.data, m_subImage.size);
    if (!link::SendCommandPacket(link_, "WriteFirmware:", "Torv2SubExe,")) {
      return stop(ExchangeStep::WriteCommand, kSub);
    }
    if (!link::AnnounceImageSize(t, m_subImage.size)) return stop(ExchangeStep::SizeRecord, kSub);
    progress.SetText("Down", true);
    progress.SetPos(0);
    if (!link::DownloadImage(t, image, kSubDownloadChunk)) return stop(ExchangeStep::Chunk, kSub);
    if (!link::SendCommandPacket(link_, "ReadFirmware:", "Torv2SubExe,")) {
      return stop(ExchangeStep::ReadCommand, kSub);
    }
    if (!link::AnnounceImageSize(t, m_subImage.size)) {
      return stop(ExchangeStep::ReadSizeRecord, kSub);
    }
    progress.SetText("Verify", true);
    progress.SetPos(0);
    link::SubSocketStatus sockets{};
    const auto readBack = std::span(readBackBuffer).first(m_subImage.size);
    if (!link::ReadBackSubImage(t, sockets, readBack)) {
      // A failure after the last block is the socket status's.
      const bool inBlocks = link_.failure().number > 0;
      return stop(inBlocks ? ExchangeStep::SubBlock : ExchangeStep::SocketStatus, kSub);
    }
    if (const auto at = FirstDifference(readBack, m_subImage)) {
      const int block = static_cast<int>(*at / link::kSubReadBackBlock) + 1;
      link_.failure() = Differs(*at);
      link_.failure().number = block;
      return stop(ExchangeStep::SubBlock, kSub);
    }
    const int n = link::ReceiveReplyPacket(link_, readBackBuffer);
    if (n == 0) return stop(ExchangeStep::FinalVerdict, kSub);
    const char* verdict = reinterpret_cast<const char*>(readBackBuffer.data());
    result.subOk = std::strcmp(verdict, "OK") == 0 ? 1 : 0;
    if (!result.subOk) {
      link::ExchangeFailure refused;
      refused.what = link::Happened::Refused;
      refused.KeepAnswer(readBackBuffer.first(static_cast<std::size_t>(n)));
      note(Cause{{ExchangeStep::FinalVerdict, kSub, 0}, refused, std::nullopt});
    }
    result.sockets = sockets;
    subSocketError = 0;
  }
  return !link_.Cancelled();
}

}  // namespace torv2::upgrade
