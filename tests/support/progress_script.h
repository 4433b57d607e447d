#pragma once
// What a whole upgrade shows on the progress bar, as the job reports it: the states "<label>
// <position>" in the order the job sets them, while the bar shows its text. Both windows' tests
// hold what their bar painted against it: every state painted, none out of order.

#include <mutex>
#include <string>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "link/usb_link.h"
#include "tests/support/quiet_host.h"
#include "upgrade/upgrader.h"

namespace torv2::testing {

// A sink that writes down every shown state the job sets, and nothing twice in a row.
class ProgressScript : public link::ProgressSink {
 public:
  void SetLabel(std::string_view label, bool show) override {
    std::lock_guard lock(mutex_);
    label_ = label;
    show_ = show;
  }
  void SetPercent(int percent) override {
    std::lock_guard lock(mutex_);
    if (show_) Add(states_, label_ + " " + std::to_string(percent));
  }
  std::vector<std::string> states() const {
    std::lock_guard lock(mutex_);
    return states_;
  }

  // Appends `state` unless it is the last one already (a repaint of the same state).
  static void Add(std::vector<std::string>& states, std::string state) {
    if (states.empty() || states.back() != state) states.push_back(std::move(state));
  }

 private:
  mutable std::mutex mutex_;
  std::string label_;
  bool show_ = false;
  int position_ = 0;
  std::vector<std::string> states_;
};

// The states of a whole upgrade of `main` and `sub` on a fresh virtual programmer.
inline std::vector<std::string> UpgradeProgressStates(const upgrade::FirmwareImage& main,
                                                      const upgrade::FirmwareImage& sub) {
  class Host : public QuietHost {
   public:
    link::ProgressSink& Progress() override { return script; }
    ProgressScript script;
  } host;
  emulator::InProcessTransport device;
  link::UsbLink link(device);
  upgrade::Upgrader upgrader(link, host);
  upgrader.SetImages(main, sub);
  upgrader.SetDeviceUsable(true);
  upgrader.StartJob();
  upgrader.WaitForJob();
  return host.script.states();
}

// `states` up to and including the last time the bar stood at "Verify 100": what is on the bar
// when the result dialog opens.
inline std::vector<std::string> UpToTheReport(std::vector<std::string> states) {
  for (std::size_t i = states.size(); i-- > 0;) {
    if (states[i] == "Verify 100") {
      states.resize(i + 1);
      return states;
    }
  }
  return {};
}

}  // namespace torv2::testing
