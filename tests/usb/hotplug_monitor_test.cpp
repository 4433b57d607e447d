// The hotplug monitor through real libusb against virtual devices under umockdev: which
// comings and goings it reports, and that it stops at once and for good.
#include "link/libusb/hotplug_monitor.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "emulator/umockdev/umockdev_bed.h"
#include "link/libusb/libusb_transport.h"
#include "link/usb_link.h"

namespace torv2::link {

void PrintTo(DeviceEvent e, std::ostream* os) {
  *os << (e == DeviceEvent::Arrival ? "Arrival" : "Removal");
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using emulator::UmockdevBed;
using emulator::VirtualUsbDevice;
using enum emulator::GuidSource;

// Generous: only a broken monitor takes this long.
constexpr auto kPatience = 10s;

// What the monitor reported, in order; waits for a number of events without sleeping.
class Recorder {
 public:
  void Add(DeviceEvent e) {
    std::lock_guard lock(mutex_);
    events_.push_back(e);
    changed_.notify_all();
  }
  std::vector<DeviceEvent> WaitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return events_.size() >= n; });
    return events_;
  }
  std::vector<DeviceEvent> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DeviceEvent> events_;
};

// A plain libusb hotplug callback on the same context, registered before the monitor: libusb
// calls the callbacks of one change newest first, so once this one has seen a change, the
// monitor's callback has had it too.
class Witness {
 public:
  explicit Witness(libusb_context* ctx) : ctx_(ctx) {
    libusb_hotplug_register_callback(
        ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
        LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, &Witness::OnEvent, this, &handle_);
  }
  ~Witness() { libusb_hotplug_deregister_callback(ctx_, handle_); }
  bool WaitForChanges(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return changes_ >= n; });
  }

 private:
  static int LIBUSB_CALL OnEvent(libusb_context*, libusb_device*, libusb_hotplug_event,
                                 void* self) {
    auto* w = static_cast<Witness*>(self);
    std::lock_guard lock(w->mutex_);
    ++w->changes_;
    w->changed_.notify_all();
    return 0;
  }
  libusb_context* ctx_;
  libusb_hotplug_callback_handle handle_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  int changes_ = 0;
};

// Handles libusb's events on a thread of its own, as a job's transfers would.
class EventThread {
 public:
  explicit EventThread(libusb_context* ctx) : ctx_(ctx), thread_([this] { Run(); }) {}
  ~EventThread() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    libusb_interrupt_event_handler(ctx_);
    thread_.join();
  }

 private:
  void Run() {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stop_) return;
      }
      timeval tv{0, 100'000};
      libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
    }
  }
  libusb_context* ctx_;
  std::mutex mutex_;
  bool stop_ = false;
  std::thread thread_;
};

// --- what is reported ---

enum class Act { Add, Unplug, Replug };

struct Action {
  Act act;
  int device;  // index among the devices, those attached at the start first
  emulator::GuidSource source = MsOs20;  // for Add
  // The events this action gives; the next action waits for them. A device that comes and goes
  // before the monitor could look at it is rightly reported by neither event.
  std::vector<DeviceEvent> events = {};
};

struct HotplugCase {
  const char* name;
  std::vector<emulator::GuidSource> attachedAtStart;
  std::vector<Action> actions;
  friend void PrintTo(const HotplugCase& c, std::ostream* os) { *os << c.name; }
};

class Reports : public ::testing::TestWithParam<HotplugCase> {};

// After the case's own actions a fresh programmer arrives; its Arrival must come right after the
// expected events, so an event that should not have come shows up as a mismatch, not as a wait.
TEST_P(Reports, OnlyProgrammersComingAndGoing) {
  const HotplugCase& c = GetParam();
  UmockdevBed bed;
  std::vector<VirtualUsbDevice*> devices;
  for (const auto source : c.attachedAtStart) devices.push_back(&bed.Add({.guidSource = source}));
  const auto transport = LibusbTransport::Create();
  ASSERT_NE(transport, nullptr);
  Recorder recorder;
  HotplugMonitor monitor(*transport, [&](DeviceEvent e) { recorder.Add(e); });
  ASSERT_TRUE(monitor.active());

  std::vector<DeviceEvent> expected;
  for (const Action& a : c.actions) {
    switch (a.act) {
      case Act::Add:
        ASSERT_EQ(a.device, static_cast<int>(devices.size())) << "devices are added in order";
        devices.push_back(&bed.Add({.guidSource = a.source}));
        break;
      case Act::Unplug:
        bed.Unplug(*devices.at(a.device));
        break;
      case Act::Replug:
        bed.Replug(*devices.at(a.device));
        break;
    }
    expected.insert(expected.end(), a.events.begin(), a.events.end());
    if (!a.events.empty()) {
      ASSERT_EQ(recorder.WaitFor(expected.size()), expected);
    }
  }
  bed.Add({.serial = "LAST"});
  expected.push_back(DeviceEvent::Arrival);
  EXPECT_EQ(recorder.WaitFor(expected.size()), expected);
}

using enum DeviceEvent;
INSTANTIATE_TEST_SUITE_P(
    Cases, Reports,
    ::testing::Values(
        HotplugCase{"ProgrammerPluggedUnpluggedReplugged",
                    {},
                    {{Act::Add, 0, MsOs20, {Arrival}},
                     {Act::Unplug, 0, {}, {Removal}},
                     {Act::Replug, 0, {}, {Arrival}}}},
        HotplugCase{"DecoyComingAndGoingGivesNothing",
                    {},
                    {{Act::Add, 0, None}, {Act::Unplug, 0}, {Act::Replug, 0}, {Act::Unplug, 0}}},
        HotplugCase{"DecoyAmongProgrammers",
                    {None},
                    {{Act::Add, 1, MsOs20, {Arrival}},
                     {Act::Unplug, 0},
                     {Act::Add, 2, None},
                     {Act::Unplug, 1, {}, {Removal}}}},
        HotplugCase{"MsOs10Programmer",
                    {},
                    {{Act::Add, 0, MsOs10Only, {Arrival}}, {Act::Unplug, 0, {}, {Removal}}}},
        // Known from the start: not announced, but its removal is.
        HotplugCase{
            "AttachedAtStartIsRememberedNotAnnounced",
            {MsOs20, None},
            {{Act::Unplug, 1}, {Act::Unplug, 0, {}, {Removal}}, {Act::Replug, 0, {}, {Arrival}}}},
        HotplugCase{"TwoProgrammers",
                    {},
                    {{Act::Add, 0, MsOs20, {Arrival}},
                     {Act::Add, 1, MsOs20, {Arrival}},
                     {Act::Unplug, 1, {}, {Removal}},
                     {Act::Unplug, 0, {}, {Removal}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Reports, OnlyTheDeviceTheTransportIsRestrictedTo) {
  UmockdevBed bed;
  // The bed hands out addresses in turn from 2: the second device gets 3.
  const auto transport = LibusbTransport::Create({.onlyDevice = UsbAddress{1, 3}});
  ASSERT_NE(transport, nullptr);
  Recorder recorder;
  HotplugMonitor monitor(*transport, [&](DeviceEvent e) { recorder.Add(e); });
  VirtualUsbDevice& first = bed.Add({});
  VirtualUsbDevice& second = bed.Add({});
  ASSERT_EQ(second.devnum(), 3);
  ASSERT_EQ(recorder.WaitFor(1), std::vector{Arrival});
  bed.Unplug(first);
  bed.Unplug(second);
  EXPECT_EQ(recorder.WaitFor(2), (std::vector{Arrival, Removal}));
}

// Arrivals and removals while another thread waits in a transfer on the same context: libusb
// may run the monitor's callback on that thread, which must then wake the monitor.
TEST(Reports, WhileAnotherThreadWaitsOnATransfer) {
  UmockdevBed bed;
  VirtualUsbDevice& busy = bed.Add({.serial = "BUSY"});
  const auto transport = LibusbTransport::Create();
  ASSERT_NE(transport, nullptr);
  UsbLink link(*transport, {1000ms, 30s});
  ASSERT_TRUE(link.OpenUsbLink());
  Recorder recorder;
  HotplugMonitor monitor(*transport, [&](DeviceEvent e) { recorder.Add(e); });

  const std::size_t urbs = busy.bulkInUrbs();
  auto read = std::async(std::launch::async, [&] {
    std::uint8_t b = 0;
    return link.LinkRead(std::span(&b, 1));  // the device has nothing to say
  });
  const auto deadline = Clock::now() + kPatience;
  while (busy.bulkInUrbs() == urbs && Clock::now() < deadline) std::this_thread::yield();

  VirtualUsbDevice& other = bed.Add({.serial = "OTHER"});
  EXPECT_EQ(recorder.WaitFor(1), std::vector{Arrival});
  bed.Unplug(other);
  EXPECT_EQ(recorder.WaitFor(2), (std::vector{Arrival, Removal}));
  // Unplugging the busy one ends its read and is reported too.
  bed.Unplug(busy);
  EXPECT_EQ(read.get(), 0u);
  EXPECT_EQ(recorder.WaitFor(3), (std::vector{Arrival, Removal, Removal}));
}

// --- stopping ---

TEST(Stopping, IdleMonitorStopsAtOnce) {
  UmockdevBed bed;
  bed.Add({});
  const auto transport = LibusbTransport::Create();
  ASSERT_NE(transport, nullptr);
  auto monitor = std::make_unique<HotplugMonitor>(*transport, [](DeviceEvent) {});
  // The thread waits in libusb for up to 5 s when nothing happens; the stop must wake it.
  const auto start = Clock::now();
  monitor.reset();
  EXPECT_LT(Clock::now() - start, 2s);
}

// Opens once, stays open.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void Pass() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

TEST(Stopping, WithChangesPendingAndNoCallAfterwards) {
  UmockdevBed bed;
  const auto transport = LibusbTransport::Create();
  ASSERT_NE(transport, nullptr);
  Witness witness(transport->context());
  EventThread events(transport->context());
  Recorder recorder;
  Gate gate;
  auto monitor = std::make_unique<HotplugMonitor>(*transport, [&](DeviceEvent e) {
    recorder.Add(e);
    gate.Pass();  // holds the monitor's thread in the first event
  });

  std::vector<VirtualUsbDevice*> devices{&bed.Add({})};
  ASSERT_EQ(recorder.WaitFor(1).size(), 1u);
  for (int i = 0; i < 4; ++i) devices.push_back(&bed.Add({}));
  ASSERT_TRUE(witness.WaitForChanges(5));  // four arrivals wait in the monitor's queue

  const auto start = Clock::now();
  gate.Open();
  monitor.reset();
  EXPECT_LT(Clock::now() - start, 2s);
  const std::size_t reported = recorder.events().size();
  EXPECT_GE(reported, 1u);
  EXPECT_LE(reported, 5u);

  // libusb goes on handling hotplug on the same context: the monitor is out of it for good.
  for (VirtualUsbDevice* d : devices) bed.Unplug(*d);
  bed.Add({});
  ASSERT_TRUE(witness.WaitForChanges(11));
  EXPECT_EQ(recorder.events().size(), reported);
}

}  // namespace
}  // namespace torv2::link
