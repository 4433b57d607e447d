#include "link/libusb/hotplug_monitor.h"

#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "link/guid.h"
#include "link/libusb/libusb_transport.h"

namespace torv2::link {
namespace {

// The longest the thread waits in libusb between two looks at its queue. Every change and the
// stop wake it earlier; this only bounds the wait should a wake-up ever be missed.
constexpr time_t kLongestWaitSeconds = 5;

// Holds a reference to a libusb device, so that the pointer names the same device for as long
// as it is kept.
class DeviceRef {
 public:
  explicit DeviceRef(libusb_device* device) : device_(libusb_ref_device(device)) {}
  DeviceRef(DeviceRef&& other) noexcept : device_(std::exchange(other.device_, nullptr)) {}
  DeviceRef& operator=(DeviceRef&& other) noexcept {
    std::swap(device_, other.device_);
    return *this;
  }
  DeviceRef(const DeviceRef&) = delete;
  DeviceRef& operator=(const DeviceRef&) = delete;
  ~DeviceRef() {
    if (device_) libusb_unref_device(device_);
  }
  libusb_device* get() const { return device_; }

 private:
  libusb_device* device_;
};

struct Change {
  DeviceRef device;
  bool arrived = false;
  bool alreadyAttached = false;  // reported while the monitor started: remember, don't announce
};

// A libusb context of the monitor's own, ended with libusb_exit.
struct ContextDeleter {
  void operator()(libusb_context* c) const { libusb_exit(c); }
};
using ContextPtr = std::unique_ptr<libusb_context, ContextDeleter>;

ContextPtr NewContext() {
  libusb_context* c = nullptr;
  if (libusb_init(&c) != 0) return nullptr;
  return ContextPtr(c);
}

}  // namespace

struct HotplugMonitor::Impl {
  Impl(LibusbTransport& t, std::function<void(const ProgrammerChange&)> f, bool announce)
      : transport(t), onChange(std::move(f)), announceAttached(announce) {}

  static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* device,
                                   libusb_hotplug_event event, void* impl);
  void Start();
  void Stop();
  void Queue(libusb_device* device, bool arrived);
  void SetWake(int value) {
    libusb_lock_event_waiters(ctx);
    std::atomic_ref<int>(wake).store(value);
    libusb_unlock_event_waiters(ctx);
  }
  void Run();
  void Look(Change& change);
  bool Stopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  LibusbTransport& transport;
  const std::function<void(const ProgrammerChange&)> onChange;
  const bool announceAttached;
  // The monitor's own context: only the registering thread (inside Start) and then the
  // monitor's thread handle its events. Declared before every member that holds its devices, so
  // that it ends after them.
  ContextPtr owned;
  libusb_context* ctx = nullptr;

  std::mutex mutex;  // guards the three members below
  std::deque<Change> changes;
  bool stopping = false;
  std::thread::id registeringThread;  // set while the callback is registered

  // libusb's "completed" flag for the thread's event wait: set when there is something to look
  // at. libusb reads it as a plain int under its own locks; this code writes it only while
  // holding libusb's event-waiters lock, as libusb's transfer completions do, and as an atomic,
  // since the writers are on different threads.
  alignas(std::atomic_ref<int>::required_alignment) int wake = 0;

  bool registered = false;
  libusb_hotplug_callback_handle callback = 0;
  struct Known {
    DeviceRef device;
    AttachedProgrammer programmer;
  };
  std::vector<Known> programmers;  // known programmers; the monitor's thread only
  std::thread thread;
};

// libusb calls this from whichever thread is handling its events (and, for the devices
// attached at registration, from the registering thread). No I/O here: the change is handed to
// the monitor's thread.
int LIBUSB_CALL HotplugMonitor::Impl::OnHotplug(libusb_context*, libusb_device* device,
                                                libusb_hotplug_event event, void* impl) {
  static_cast<Impl*>(impl)->Queue(device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
  return 0;  // stay registered
}

void HotplugMonitor::Impl::Start() {
  if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return;
  owned = NewContext();
  if (!owned) return;
  ctx = owned.get();
  {
    std::lock_guard lock(mutex);
    registeringThread = std::this_thread::get_id();
  }
  // With ENUMERATE, libusb reports the devices already attached from inside this call, on this
  // thread, before it returns; later changes come through event handling on other threads.
  const int r = libusb_hotplug_register_callback(
      ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
      LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
      LIBUSB_HOTPLUG_MATCH_ANY, &OnHotplug, this, &callback);
  {
    std::lock_guard lock(mutex);
    registeringThread = {};
  }
  if (r != LIBUSB_SUCCESS) {
    // libusb has taken the callback back. No other thread handles this context's events, so
    // none can be running it.
    {
      std::lock_guard lock(mutex);
      stopping = true;
      changes.clear();
    }
    ctx = nullptr;
    owned.reset();
    return;
  }
  registered = true;
  // The devices attached now are looked at here, so that the monitor knows them when the
  // constructor returns; changes reported by other threads meanwhile are left to the thread.
  std::deque<Change> attached;
  {
    std::lock_guard lock(mutex);
    std::deque<Change> later;
    for (Change& change : changes) {
      (change.alreadyAttached ? attached : later).push_back(std::move(change));
    }
    changes.swap(later);
  }
  // In bus and port order, as List() gives them (libusb reports them in an order of its own).
  const auto place = [](libusb_device* device) {
    std::array<std::uint8_t, 8> ports{};
    const int n = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
    return std::pair{libusb_get_bus_number(device),
                     std::vector<std::uint8_t>(ports.begin(), ports.begin() + std::max(n, 0))};
  };
  std::stable_sort(attached.begin(), attached.end(), [&](const Change& a, const Change& b) {
    return place(a.device.get()) < place(b.device.get());
  });
  for (Change& change : attached) Look(change);
  thread = std::thread([this] { Run(); });
}

void HotplugMonitor::Impl::Stop() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  if (!registered) return;
  // The context is the monitor's own and only its thread handles the context's events, so the
  // stop waits on nothing but that thread: the wake ends its event wait (or the next one), and
  // it returns at its next look at `stopping`. The longest it can still be busy is the check of
  // one arrived device, whose every request is bounded by kControlRequestTimeout. A thread that
  // uses the transport meanwhile drives another context and cannot hold this one up.
  SetWake(1);
  libusb_interrupt_event_handler(ctx);
  thread.join();
  // No thread handles this context's events any more, so no callback runs from here on.
  libusb_hotplug_deregister_callback(ctx, callback);
  {
    std::lock_guard lock(mutex);
    changes.clear();
  }
  programmers.clear();
  ctx = nullptr;
  owned.reset();
}

void HotplugMonitor::Impl::Queue(libusb_device* device, bool arrived) {
  bool alreadyAttached = false;
  {
    std::lock_guard lock(mutex);
    if (stopping) return;
    alreadyAttached = registeringThread == std::this_thread::get_id();
    changes.push_back({DeviceRef(device), arrived, alreadyAttached});
  }
  // The thread is woken by `wake` if it is about to wait; if it waits already, it is the thread
  // that called this, and its event handling ends after the callback.
  if (!alreadyAttached) SetWake(1);
}

void HotplugMonitor::Impl::Run() {
  for (;;) {
    SetWake(0);

    std::deque<Change> batch;
    {
      std::lock_guard lock(mutex);
      if (stopping) return;
      batch.swap(changes);
    }
    for (Change& change : batch) {
      if (Stopping()) return;
      Look(change);
    }
    if (!batch.empty()) continue;  // more may have come meanwhile

    // Handles libusb's events (hotplug callbacks among them) until a change or the stop sets
    // `wake`, or the wait ends.
    timeval longest{kLongestWaitSeconds, 0};
    libusb_handle_events_timeout_completed(ctx, &longest, &wake);
  }
}

void HotplugMonitor::Impl::Look(Change& change) {
  libusb_device* const device = change.device.get();
  const auto known = std::find_if(programmers.begin(), programmers.end(),
                                  [device](const Known& p) { return p.device.get() == device; });
  if (!change.arrived) {
    if (known == programmers.end()) return;  // not a programmer, or never seen arriving
    const ProgrammerChange removal{DeviceEvent::Removal, std::move(known->programmer)};
    programmers.erase(known);
    if (!Stopping()) onChange(removal);
    return;
  }
  // A device attached while the monitor started may be reported twice (by the enumeration and
  // by its own arrival); it is announced at most once.
  if (known != programmers.end()) return;
  auto programmer = transport.Inspect(device, DeviceInterfaceGuid, kControlRequestTimeout);
  if (!programmer) return;
  programmers.push_back({std::move(change.device), *programmer});
  if ((!change.alreadyAttached || announceAttached) && !Stopping()) {
    onChange({DeviceEvent::Arrival, std::move(*programmer)});
  }
}

HotplugMonitor::HotplugMonitor(LibusbTransport& transport, std::function<void(DeviceEvent)> onEvent)
    : HotplugMonitor(
          transport, [f = std::move(onEvent)](const ProgrammerChange& change) { f(change.event); },
          false) {}

HotplugMonitor::HotplugMonitor(LibusbTransport& transport,
                               std::function<void(const ProgrammerChange&)> onChange,
                               bool announceAttached)
    : impl_(std::make_unique<Impl>(transport, std::move(onChange), announceAttached)) {
  impl_->Start();
}

HotplugMonitor::~HotplugMonitor() {
  impl_->Stop();
}

bool HotplugMonitor::active() const {
  return impl_->registered;
}

}  // namespace torv2::link
