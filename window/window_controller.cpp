#include "window/window_controller.h"

#include "upgrade/embedded_images.h"
#include "upgrade/version_text.h"
#include "window/appearance.h"

namespace torv2::window {

std::string ProgramName(std::string_view executablePath) {
  std::string_view name = executablePath;
  if (const auto slash = name.find_last_of("\\/"); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  if (const auto dot = name.rfind('.'); dot != std::string_view::npos && dot > 0) {
    name = name.substr(0, dot);
  }
  return name.empty() ? std::string("torv2-upgrader") : std::string(name);
}

void AttemptObservers::AttemptBegan(const upgrade::Attempt& attempt) {
  if (first_) first_->AttemptBegan(attempt);
  if (second_) second_->AttemptBegan(attempt);
}

void AttemptObservers::AttemptEnded(const upgrade::Attempt& attempt) {
  if (first_) first_->AttemptEnded(attempt);
  if (second_) second_->AttemptEnded(attempt);
}

WindowController::WindowController(WindowView& view, GuiQueue& queue, link::UsbTransport& transport,
                                   WindowOptions options)
    : view_(view),
      queue_(queue),
      options_(std::move(options)),
      host_(view, queue, ProgramName(upgrade::ExecutablePath())),
      observers_(options_.attempts, options_.attemptLog),
      link_(transport, options_.linkTimeouts),
      upgrader_(std::make_unique<upgrade::Upgrader>(link_, host_, options_.timings)) {
  upgrader_->SetAttemptObserver(&observers_);
}

WindowController::~WindowController() {
  Shutdown();
}

void WindowController::Start(std::string_view caption) {
  caption_ = caption;
  const std::string modulePath =
      options_.modulePath ? *options_.modulePath : upgrade::RunningExecutable();
  if (modulePath.empty()) host_.ShowMessage(kMsgModulePathFailed);

  // The carried images. Without a main image or its version nothing else of start-up happens.
  const upgrade::CarriedImages images = upgrade::LoadCarriedImages(
      modulePath, [this](std::string_view text, std::string_view caption) {
        host_.ShowLoaderMessage(text, caption);
      });
  upgrader_->SetImages(images.main, images.sub);
  if (!images.main.loaded()) {
    if (!images.problem.empty()) host_.Log(images.problem);
    view_.SetUpgradeVersionText(upgrade::kUnknownMainExe);
    return;
  }
  if (!images.version) return;
  view_.SetUpgradeVersionText(upgrade::FormatVersion(*images.version));
  upgrader_->SetUpgradeVersionLine(upgrade::UpgradeVersionLine(*images.version));

  // One exchange with the device: status (with a reset when it asks for one), then its version.
  // The window is not shown yet: this is the one time the GUI thread talks to the device.
  if (upgrader_->StartUpExchange()) {
    ShowUsbConnected();
  } else {
    ShowUsbDisconnected();
  }
  RegisterUsbNotification();
}

void WindowController::RegisterUsbNotification() {
  if (!options_.registerDeviceNotification) return;
  notification_ = options_.registerDeviceNotification(
      [this](link::DeviceEvent event) { PostDeviceChange(event); });
}

void WindowController::ShowUsbConnected() {
  host_.ForgetCause();  // whatever failed before, the programmer answers now
  // Which programmer the window works with (the first one found), after the title's own text,
  // by its name as the command line's `list` shows it; nothing where the transport cannot tell.
  const std::string name = link_.OpenedName();
  view_.SetTitle(caption_ + std::string(kTitleConnected) +
                 (name.empty() ? std::string() : std::string(kTitleNameSeparator) + name));
  view_.EnableUpdate(true);
}

void WindowController::ShowUsbDisconnected() {
  view_.SetTitle(caption_ + std::string(kTitleDisconnected));
  view_.EnableUpdate(false);
}

void WindowController::StartJob() {
  // One job at a time, even if a late "enable" from the previous job reached the button.
  if (closing_ || upgrader_->Busy()) return;
  upgrader_->StartJob();
}

bool WindowController::KeyDown(bool space) {
  if (space) StartJob();  // StartJob's guard holds for the key as for the button
  return true;
}

void WindowController::PostDeviceChange(link::DeviceEvent event) {
  host_.RunOnGuiThread([this, event] { DeviceChanged(event); });
}

void WindowController::DeviceChanged(link::DeviceEvent event) {
  if (closing_) return;
  if (event == link::DeviceEvent::Removal) {
    // Whatever the window showed, the device is gone, and every older arrival with it. A running
    // job is left to fail on its own and clears the busy state itself, so no second job can start
    // beside it.
    ++removals_;
    arrivalPending_ = false;
    ShowUsbDisconnected();
    upgrader_->SetDeviceUsable(false);
    view_.SetCurrentVersionText(kUnknownVersion);
    return;
  }
  if (queryRunning_) {
    arrivalPending_ = true;
    return;
  }
  StartVersionQuery();
}

void WindowController::StartVersionQuery() {
  queryRunning_ = true;
  const unsigned removalsSeen = removals_;
  // The previous query has reported back, so its thread has nothing left to do.
  if (query_.joinable()) query_.join();
  query_ = std::thread([this, removalsSeen] {
    // Once the link is free: now, or on the job's thread when the running job has let go of it.
    upgrader_->RunWhenLinkFree([this, removalsSeen] {
      bool usable = false;
      if (removals_ == removalsSeen) usable = upgrader_->ReadDeviceVersion();
      host_.RunOnGuiThread(
          [this, removalsSeen, usable] { VersionQueryDone(removalsSeen, usable); });
    });
  });
}

void WindowController::VersionQueryDone(unsigned removalsSeen, bool usable) {
  queryRunning_ = false;
  if (closing_) return;
  if (removals_ == removalsSeen) {  // else the device went again meanwhile: the answer is stale
    upgrader_->SetDeviceUsable(usable);
    if (usable) ShowUsbConnected();
  }
  if (arrivalPending_) {
    arrivalPending_ = false;
    StartVersionQuery();
  }
}

void WindowController::Close() {
  if (closing_) return;
  closing_ = true;
  host_.Close();  // a worker waiting for a dialog goes on; nothing more is shown
  view_.End();
  Shutdown();
}

void WindowController::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  closing_ = true;
  host_.Close();
  notification_.reset();  // no more device events
  upgrader_->Shutdown();  // cancels the transfer in flight and joins the job's thread
  if (query_.joinable()) query_.join();
  queue_.Close();  // what the workers queued is dropped; they have all ended
}

}  // namespace torv2::window
