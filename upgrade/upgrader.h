#pragma once
// The upgrader's state and tasks, apart from any widget: the start-up exchange with the device,
// the version and status queries, and the upgrade job on its worker thread. The window and the
// command line each own one and implement its UpgradeHost.
//
// One task uses the link at a time: a task holds the link from its open to its close, and a
// version query asked for while a job runs waits until the job has let go of it. Shutdown()
// cancels the transfer in flight, ends every wait, and joins the worker.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "link/image_transfer.h"
#include "link/usb_link.h"
#include "upgrade/attempt.h"
#include "upgrade/firmware_image.h"
#include "upgrade/upgrade_host.h"
#include "upgrade/upgrade_report.h"

namespace torv2::upgrade {

inline constexpr char kMsgCommunicationRefused[] = "USB Communication cannot be operated!";
inline constexpr char kMsgDeviceNotReady[] = "USB Device is not Ready!!";
inline constexpr char kMsgUpgradeError[] = "ZARN TORV II - Firmware Upgrade Error!";
inline constexpr char kMsgVersionNotReady[] = "USB Device is not Ready, Ver!!";
inline constexpr char kMsgStatusFail[] = "Read Current Status Fail!";
inline constexpr char kMsgStatusDataFail[] = "Read Current Status Data Fail!";

struct UpgraderTimings {
  std::chrono::milliseconds resetWait{3000};  // the device's time to restart after "ResetNow"
};

// How the last job ended, for front ends that report it (the command line's exit code).
enum class JobOutcome { NotRun, Refused, Failed, Completed };

struct JobResult {
  JobOutcome outcome = JobOutcome::NotRun;
  bool linkNotReady = false;  // the job failed because the link could not be opened
  bool mainOk = false;
  bool subOk = false;
  std::optional<link::SubSocketStatus> sockets;  // when the sub stage completed
  // Why the job failed, or why a completed job's report shows a failed image: the first failure
  // met, and where the job stopped when that was later.
  std::optional<Cause> cause;
  // The bytes of each image whose download went through to its last chunk (0 for one that did
  // not), and the job's time from its start to its end.
  std::size_t mainBytesWritten = 0;
  std::size_t subBytesWritten = 0;
  std::chrono::milliseconds took{0};
};

// The job's verdict: whether it did all it is for. It completed, both images were verified, the
// device's final verdict was "OK" and all eight sockets report upgraded.
bool Succeeded(const JobResult& job);

class Upgrader {
 public:
  Upgrader(link::UsbLink& link, UpgradeHost& host, UpgraderTimings timings = {});
  ~Upgrader();
  Upgrader(const Upgrader&) = delete;
  Upgrader& operator=(const Upgrader&) = delete;

  // The start-up exchange: open the link; when the device is there, ask its status (resetting it
  // when it answers "Already."), then read its version. Returns whether the link opened, which
  // also makes the device usable.
  bool StartUpExchange();
  void CheckCurrentStatus();  // expects the link open; leaves it closed
  // Opens the link unless open, reads the version, leaves the link closed; whether it read one.
  bool ReadDeviceVersion();

  // Starts the job (what the Update button or the space key asks for) on its worker thread and
  // returns.
  void StartJob();
  // Runs `task` now, or, while a job holds the link, on the job's thread once it has let go.
  void RunWhenLinkFree(std::function<void()> task);
  // Waits until the current job's thread has ended (the command line waits for its one job).
  void WaitForJob();
  // Cancels what is in flight, ends every wait, joins the worker. Messages stop here.
  void Shutdown();
  // Asks the job (or the exchange) that runs to stop at the next transfer boundary: the
  // transfer in flight ends as it would, no later one is made, a wait for the device's restart
  // ends, and the job ends on its error path without a message. For good; any thread.
  void CancelJob();

  bool Busy() const { return busy_.load(); }
  bool DeviceUsable() const { return deviceUsable_.load(); }
  void SetDeviceUsable(bool usable) { deviceUsable_ = usable; }
  JobResult LastJob() const;
  UpgradeReport Report() const;
  double CurrentVersion() const;
  // Whether the last version query read a version: false after one that could not open the
  // link, got no reply, or got a reply without a version.
  bool VersionRead() const;
  // Whether the last status check got the device's status reply.
  bool StatusRead() const;

  // Told of the end of every status check and job, and of the start of every job that goes to
  // the device; set before the first task, or null.
  void SetAttemptObserver(AttemptObserver* observer) { observer_ = observer; }

  // The images the job writes, loaded once at start-up before the first job; an image that is
  // not loaded is skipped.
  void SetImages(const FirmwareImage& main, const FirmwareImage& sub) {
    mainImage_ = main;
    subImage_ = sub;
  }
  const FirmwareImage& mainImage() const { return mainImage_; }
  const FirmwareImage& subImage() const { return subImage_; }
  void SetUpgradeVersionLine(std::string line);

  // Whether the device refused a transfer of the last job: raised by the transfers, lowered by a
  // completed sub stage. Read once the job has ended.
  bool SubSocketError() const { return subSocketError_; }

 private:
  void UpgradeWorker();
  bool RunStages(JobResult& result, std::span<std::uint8_t> readBackBuffer);
  bool ReadDeviceVersionHoldingLink();
  void CheckCurrentStatusHoldingLink();
  void Message(std::string_view text);
  void Step(std::string_view text);
  void LogCause(const Cause& cause);
  // Logs the cause, and keeps it when it is the first of the task that holds the link.
  void NoteCause(const Cause& cause);
  Cause CauseAt(ExchangeStep step, ImageKind image = ImageKind::Main) const;
  void RunDeferredTasks();
  void TellObserver(const Attempt& attempt);
  void TellObserverBegan(const Attempt& attempt);

  link::UsbLink& link_;
  UpgradeHost& host_;
  UpgraderTimings timings_;
  AttemptObserver* observer_ = nullptr;
  FirmwareImage mainImage_;
  FirmwareImage subImage_;
  bool subSocketError_ = false;  // the job's thread's alone while a job runs

  std::atomic<bool> busy_{false};
  std::atomic<bool> deviceUsable_{false};

  mutable std::mutex stateMutex_;  // guards what follows, up to linkMutex_
  double currentVersion_ = 0.0;
  bool versionRead_ = false;
  bool statusRead_ = false;
  UpgradeReport report_;
  JobResult lastJob_;
  bool jobHoldsLink_ = false;
  std::vector<std::function<void()>> deferred_;
  bool stopping_ = false;
  std::condition_variable stopped_;

  std::mutex linkMutex_;  // held by a task from its open to its close
  // Where each job reads the images back; only the job's thread touches it. Kept from one job
  // to the next: a job's thread hands its stack back to the system when it ends, and every job
  // would fault all these pages in afresh.
  std::unique_ptr<std::uint8_t[]> readBackBuffer_ =
      std::make_unique_for_overwrite<std::uint8_t[]>(kReadBackBufferSize);
  std::thread worker_;

  // The first cause met by the task that holds the link; guarded by linkMutex_.
  std::optional<Cause> taskCause_;
};

}  // namespace torv2::upgrade
