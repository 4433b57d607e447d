// The short conversations outside the upgrade: the start-up status check (with a reset when the
// device says "Already.") and the version query.
#include <cstring>
#include <string_view>
#include <vector>

#include "link/packet.h"
#include "upgrade/upgrader.h"
#include "upgrade/version_text.h"

namespace torv2::upgrade {
namespace {

// A reply as the NUL-terminated text it is used as.
std::string_view AsText(const std::vector<std::uint8_t>& buffer, int length) {
  const char* text = reinterpret_cast<const char*>(buffer.data());
  return std::string_view(text, strnlen(text, static_cast<std::size_t>(length)));
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

bool Upgrader::StartUpExchange() {
  const auto start = std::chrono::steady_clock::now();
  Attempt attempt{.kind = AttemptKind::StatusCheck, .started = std::chrono::system_clock::now()};
  {
    std::lock_guard task(linkMutex_);
    taskCause_.reset();
    link_.linkOpen = link_.OpenUsbLink();
    if (link_.linkOpen) {
      CheckCurrentStatusHoldingLink();
      if (ReadDeviceVersionHoldingLink()) attempt.versionBefore = CurrentVersion();
      // The device answered the open: it counts as usable even when its version could not be
      // read.
      deviceUsable_ = true;
      attempt.linkOpened = true;
    } else {
      NoteCause(CauseAt(ExchangeStep::Opening));
    }
    attempt.cause = taskCause_;
  }
  attempt.cancelled = link_.Cancelled();
  attempt.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  TellObserver(attempt);
  return attempt.linkOpened;
}

void Upgrader::CheckCurrentStatus() {
  std::lock_guard task(linkMutex_);
  CheckCurrentStatusHoldingLink();
}

bool Upgrader::ReadDeviceVersion() {
  std::lock_guard task(linkMutex_);
  return ReadDeviceVersionHoldingLink();
}

void Upgrader::CheckCurrentStatusHoldingLink() {
  std::vector<std::uint8_t> reply(link::kReplyBufferSize);
  int n = 0;
  Step("asking its status");
  if (!link::SendCommandPacket(link_, "CurrentStatus", "")) {
    NoteCause(CauseAt(ExchangeStep::StatusQuery));
    Message(kMsgStatusFail);
  } else if (n = link::ReceiveReplyPacket(link_, reply); n == 0) {
    NoteCause(CauseAt(ExchangeStep::StatusQuery));
    Message(kMsgStatusDataFail);
  } else if (const std::string_view status = AsText(reply, n); status.starts_with("Already.")) {
    Step("status: " + link::QuoteDeviceBytes(AsBytes(status)) +
         "; restarting the programmer and waiting for it");
    link_.ProgrammerRestarts();
    link::SendCommandPacket(link_, "ResetNow", "");  // no reply comes; the result does not matter
    std::unique_lock lock(stateMutex_);
    stopped_.wait_for(lock, timings_.resetWait, [this] { return stopping_ || link_.Cancelled(); });
  } else {
    Step("status: " + link::QuoteDeviceBytes(AsBytes(status)));
  }
  {
    std::lock_guard lock(stateMutex_);
    statusRead_ = n > 0;
  }
  link_.CloseUsbLink();
}

bool Upgrader::ReadDeviceVersionHoldingLink() {
  {
    std::lock_guard lock(stateMutex_);
    versionRead_ = false;
  }
  bool result = false;
  if (!link_.linkOpen) {
    link_.linkOpen = link_.OpenUsbLink();
    if (!link_.linkOpen) {
      NoteCause(CauseAt(ExchangeStep::Opening));
      Message(kMsgVersionNotReady);
      link_.CloseUsbLink();
      return false;
    }
  }
  std::vector<std::uint8_t> reply(link::kReplyBufferSize);
  Step("asking its version");
  if (link::SendCommandPacket(link_, "VersionRead:", "Torv2MainExe,")) {
    if (const int n = link::ReceiveReplyPacket(link_, reply); n > 0) {
      std::string text;
      {
        std::lock_guard lock(stateMutex_);
        if (const auto version = ParseDeviceVersionReply(AsText(reply, n))) {
          currentVersion_ = *version;
          versionRead_ = true;
          result = true;
        } else {
          link::ExchangeFailure& f = link_.failure();
          f = {};
          f.what = link::Happened::Junk;
          f.KeepAnswer(std::span(reply).first(static_cast<std::size_t>(n)));
        }
        // Shown whenever a reply came, also one without a version: the last good one stays.
        text = FormatVersion(currentVersion_);
        report_.currentVersion = CurrentVersionLine(currentVersion_);
      }
      host_.ShowCurrentVersion(text);
      if (result) Step("version: " + text);
    }
  }
  // Shows no message: the current version stays as it was.
  if (!result) NoteCause(CauseAt(ExchangeStep::VersionQuery));
  link_.CloseUsbLink();
  return result;
}

double Upgrader::CurrentVersion() const {
  std::lock_guard lock(stateMutex_);
  return currentVersion_;
}

bool Upgrader::VersionRead() const {
  std::lock_guard lock(stateMutex_);
  return versionRead_;
}

bool Upgrader::StatusRead() const {
  std::lock_guard lock(stateMutex_);
  return statusRead_;
}

}  // namespace torv2::upgrade
