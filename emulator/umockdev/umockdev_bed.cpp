#include "emulator/umockdev/umockdev_bed.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "emulator/umockdev/usbfs_node.h"

namespace torv2::emulator {
namespace {

constexpr int kBusnum = 1;
constexpr int kUsbDeviceMajor = 189;
constexpr int kMaxDevnum = 127;

std::string Format(const char* format, int value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string DevnodeFor(int devnum) {
  return "/dev/bus/usb/" + Format("%03d", kBusnum) + "/" + Format("%03d", devnum);
}

std::string SyspathFor(int port) {
  return "/sys/devices/usb1/1-" + std::to_string(port);
}

std::string TakeGString(gchar* text) {
  std::string s = text ? text : "";
  g_free(text);
  return s;
}

std::string Hex4(std::uint16_t v) {
  return Format("%04x", v);
}

}  // namespace

// --- VirtualUsbDevice ---

VirtualUsbDevice::VirtualUsbDevice(Key, UmockdevBed& bed, VirtualUsbOptions options, int port)
    : bed_(bed),
      options_([&] {
        if (options.highSpeed) options.settings.maxPacketSize = 512;
        return std::move(options);
      }()),
      descriptors_(usb::BuildDescriptors({.guidSource = options_.guidSource,
                                          .highSpeed = options_.highSpeed,
                                          .bulkMaxPacketSize = options_.settings.maxPacketSize,
                                          .serial = options_.serial})),
      port_(port),
      programmer_(options_.settings) {
  programmer_.faults() = options_.faults;
  busyClaimsLeft_ = options_.busyClaims;
}

VirtualUsbDevice::~VirtualUsbDevice() = default;

VirtualUsbDevice::ModelLock::ModelLock(VirtualUsbDevice& device) : device_(device) {
  device_.mutex_.lock();
}

VirtualUsbDevice::ModelLock::~ModelLock() {
  const BusAction action = device_.AfterModelRan();
  device_.mutex_.unlock();
  device_.Act(action);
}

VirtualUsbDevice::BusAction VirtualUsbDevice::AfterModelRan() {
  if (node_) node_->ServeWaitingReads();
  if (programmer_.UnplugRequested()) {
    programmer_.ClearUnplugRequest();
    if (node_) return BusAction::Unplug;
  }
  if (programmer_.ResetRequested() && !programmer_.HasInData() && node_) {
    return BusAction::Reenumerate;
  }
  return BusAction::None;
}

void VirtualUsbDevice::Act(BusAction action) {
  if (action == BusAction::Unplug) {
    bed_.Unplug(*this);
    if (options_.backAfterFaultUnplug) bed_.PlugInAfter(*this, *options_.backAfterFaultUnplug);
  }
  if (action == BusAction::Reenumerate) bed_.Reenumerate(*this);
}

std::size_t VirtualUsbDevice::bulkInUrbs() const {
  std::lock_guard lock(mutex_);
  return bulkInUrbs_;
}

std::size_t VirtualUsbDevice::bulkOutUrbs() const {
  std::lock_guard lock(mutex_);
  return bulkOutUrbs_;
}

std::size_t VirtualUsbDevice::claims() const {
  std::lock_guard lock(mutex_);
  return claims_;
}

int VirtualUsbDevice::busnum() const {
  return kBusnum;
}

int VirtualUsbDevice::devnum() const {
  std::lock_guard lock(mutex_);
  return devnum_;
}

bool VirtualUsbDevice::attached() const {
  std::lock_guard lock(mutex_);
  return node_ != nullptr;
}

std::string VirtualUsbDevice::devnode() const {
  return DevnodeFor(devnum());
}

// --- UmockdevBed ---

struct UmockdevBed::Impl {
  std::mutex mutex;  // the test bed and the lists below; taken before a device's mutex
  GObjectPtr<UMockdevTestbed> testbed;
  std::string root;
  bool closing = false;
  int nextDevnum = 2;  // 1 would be the root hub
  int nextPort = 1;
  std::vector<std::unique_ptr<VirtualUsbDevice>> devices;
  // Nodes of unplugged devices: open handles still talk to them (and get ENODEV).
  std::vector<std::shared_ptr<UsbfsNode>> retired;
  std::set<std::string> attachedDevnodes;  // device nodes that have an ioctl handler

  // Devices off the bus for a re-enumeration, and when each comes back.
  struct Return {
    std::chrono::steady_clock::time_point at;
    VirtualUsbDevice* device;
  };
  std::vector<Return> returns;
  std::vector<VirtualUsbDevice*> arriveOnReset;  // plugged in when another device resets
  std::size_t reenumerations = 0;
  std::condition_variable_any returnsChanged;
  std::jthread returner;  // plugs them back in; started with the first re-enumeration

  void RunReturns(std::stop_token stop);
  void ReturnAt(std::chrono::steady_clock::time_point at, VirtualUsbDevice& device);  // mutex held

  int AllocateDevnum() {
    std::set<int> used;
    for (const auto& d : devices) {
      if (d->node_) used.insert(d->devnum_);
    }
    for (int tries = 0; tries < kMaxDevnum; ++tries) {
      const int devnum = nextDevnum;
      nextDevnum = nextDevnum >= kMaxDevnum ? 2 : nextDevnum + 1;
      if (!used.contains(devnum)) return devnum;
    }
    throw std::runtime_error("no free USB address on the virtual bus");
  }

  void Plug(VirtualUsbDevice& device);
  void Unplug(VirtualUsbDevice& device);
};

void UmockdevBed::Impl::Plug(VirtualUsbDevice& device) {
  const int devnum = AllocateDevnum();
  const std::string devnode = DevnodeFor(devnum);
  const std::string syspath = SyspathFor(device.port_);
  const usb::Descriptors& d = device.descriptors_;

  // The device node first (a FIFO), with its handler attached, then sysfs, then the uevent:
  // a client that hears of the device finds everything in place.
  const std::filesystem::path fifo = root + devnode;
  std::filesystem::create_directories(fifo.parent_path());
  std::filesystem::remove(fifo);
  std::optional<BusTiming> timing;
  if (device.options_.realBusTime) {
    timing = BusTiming{.speed = device.options_.highSpeed ? BusSpeed::High : BusSpeed::Full,
                       .deviceDelayPerChunk = device.options_.deviceDelayPerChunk};
  }
  // umockdev listens for the node's clients at ROOT/ioctl/DEVNODE.
  auto node =
      std::make_shared<UsbfsNode>(device, devnum, fifo.string(), root + "/ioctl" + devnode, timing);
  if (device.options_.nodeRefusesOpen) {
    // The node keeps its own end open; only later opens are refused.
    std::filesystem::permissions(fifo, std::filesystem::perms::none);
  }
  GError* error = nullptr;
  if (attachedDevnodes.contains(devnode)) {
    umockdev_testbed_detach_ioctl(testbed.get(), devnode.c_str(), nullptr);
    attachedDevnodes.erase(devnode);
  }
  if (!umockdev_testbed_attach_ioctl(testbed.get(), devnode.c_str(), node->handler(), &error)) {
    const std::string message = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("umockdev cannot emulate " + devnode + ": " + message);
  }
  attachedDevnodes.insert(devnode);

  const int minor = (kBusnum - 1) * 128 + (devnum - 1);
  const std::string major_minor = std::to_string(kUsbDeviceMajor) + ":" + std::to_string(minor);
  const std::vector<std::string> attributes = {
      "busnum",
      std::to_string(kBusnum) + "\n",
      "devnum",
      std::to_string(devnum) + "\n",
      "devpath",
      std::to_string(device.port_) + "\n",
      "dev",
      major_minor + "\n",
      "speed",
      device.options_.highSpeed ? "480\n" : "12\n",
      "version",
      d.device[3] == 0x02 && d.device[2] == 0x01 ? " 2.01\n" : " 2.00\n",
      "bConfigurationValue",
      "1\n",
      "bNumConfigurations",
      "1\n",
      "bNumInterfaces",
      " 1\n",
      "bDeviceClass",
      "00\n",
      "bDeviceSubClass",
      "00\n",
      "bDeviceProtocol",
      "00\n",
      "bMaxPacketSize0",
      std::to_string(usb::kControlMaxPacketSize) + "\n",
      "bmAttributes",
      "80\n",
      "bMaxPower",
      "100mA\n",
      "idVendor",
      Hex4(d.vendorId()) + "\n",
      "idProduct",
      Hex4(d.productId()) + "\n",
      "bcdDevice",
      Hex4(usb::kDeviceRelease) + "\n",
      "manufacturer",
      d.manufacturer + "\n",
      "product",
      d.product + "\n",
      "maxchild",
      "0\n",
      "removable",
      "removable\n",
      "authorized",
      "1\n",
  };
  std::vector<std::string> properties = {
      "DEVNAME",
      devnode,
      "DEVTYPE",
      "usb_device",
      "DRIVER",
      "usb",
      "SUBSYSTEM",
      "usb",
      "PRODUCT",
      Format("%x", d.vendorId()) + "/" + Format("%x", d.productId()) + "/" +
          Format("%x", usb::kDeviceRelease),
      "TYPE",
      "0/0/0",
      "BUSNUM",
      Format("%03d", kBusnum),
      "DEVNUM",
      Format("%03d", devnum),
      "MAJOR",
      std::to_string(kUsbDeviceMajor),
      "MINOR",
      std::to_string(minor),
  };
  std::vector<gchar*> attributePointers;
  for (const auto& s : attributes) attributePointers.push_back(const_cast<gchar*>(s.c_str()));
  attributePointers.push_back(nullptr);
  std::vector<gchar*> propertyPointers;
  for (const auto& s : properties) propertyPointers.push_back(const_cast<gchar*>(s.c_str()));
  propertyPointers.push_back(nullptr);

  const std::string made = TakeGString(umockdev_testbed_add_devicev(
      testbed.get(), "usb", syspath.substr(std::string("/sys/devices/").size()).c_str(), nullptr,
      attributePointers.data(), propertyPointers.data()));
  if (made != syspath) throw std::runtime_error("umockdev made " + made + " for " + syspath);
  if (!d.serial.empty()) {
    umockdev_testbed_set_attribute(testbed.get(), syspath.c_str(), "serial",
                                   (d.serial + "\n").c_str());
  }
  std::vector<std::uint8_t> raw = d.SysfsDescriptors();
  umockdev_testbed_set_attribute_binary(testbed.get(), syspath.c_str(), "descriptors", raw.data(),
                                        static_cast<gint>(raw.size()));
  {
    std::lock_guard lock(device.mutex_);
    device.node_ = node;
    device.devnum_ = devnum;
  }
  umockdev_testbed_uevent(testbed.get(), syspath.c_str(), "add");
}

void UmockdevBed::Impl::RunReturns(std::stop_token stop) {
  std::unique_lock lock(mutex);
  while (!stop.stop_requested()) {
    if (returns.empty()) {
      returnsChanged.wait(lock, stop, [&] { return !returns.empty(); });
      continue;
    }
    const auto next =
        std::min_element(returns.begin(), returns.end(),
                         [](const Return& a, const Return& b) { return a.at < b.at; });
    const auto at = next->at;
    if (std::chrono::steady_clock::now() < at) {
      returnsChanged.wait_until(lock, stop, at, [&] { return false; });
      continue;
    }
    VirtualUsbDevice* device = next->device;
    returns.erase(next);
    if (closing || device->attached()) continue;
    try {
      Plug(*device);
      ++reenumerations;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "virtual programmer cannot come back: %s\n", e.what());
    }
  }
}

void UmockdevBed::Impl::Unplug(VirtualUsbDevice& device) {
  std::shared_ptr<UsbfsNode> node;
  {
    std::lock_guard lock(device.mutex_);
    node = std::move(device.node_);
    if (!node) return;
    node->Unplug();
    device.programmer_.Restart();  // the power is gone: so is everything but the flash
  }
  const std::string syspath = SyspathFor(device.port_);
  umockdev_testbed_uevent(testbed.get(), syspath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed.get(), syspath.c_str());
  std::error_code ignored;
  std::filesystem::remove(root + DevnodeFor(node->devnum()), ignored);
  retired.push_back(std::move(node));
}

UmockdevBed::UmockdevBed() : impl_(std::make_unique<Impl>()) {
  impl_->testbed = GObjectPtr<UMockdevTestbed>::Adopt(umockdev_testbed_new());
  if (!impl_->testbed) throw std::runtime_error("cannot create the umockdev test bed");
  impl_->root = TakeGString(umockdev_testbed_get_root_dir(impl_->testbed.get()));
}

UmockdevBed::~UmockdevBed() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->closing = true;
  }
  if (impl_->returner.joinable()) {
    impl_->returner.request_stop();
    impl_->returner.join();
  }
  // Without the lock: disposing the test bed joins its worker thread, which may be waiting for
  // it in Unplug(). After this no handler runs any more.
  impl_->testbed.reset();
  impl_->retired.clear();
  for (auto& device : impl_->devices) device->node_.reset();
  impl_->devices.clear();
}

VirtualUsbDevice& UmockdevBed::Add(VirtualUsbOptions options) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->closing) throw std::logic_error("the test bed is closing");
  auto device = std::make_unique<VirtualUsbDevice>(VirtualUsbDevice::Key{}, *this,
                                                   std::move(options), impl_->nextPort);
  ++impl_->nextPort;
  VirtualUsbDevice& ref = *device;
  impl_->devices.push_back(std::move(device));
  try {
    impl_->Plug(ref);
  } catch (...) {
    impl_->devices.pop_back();
    throw;
  }
  return ref;
}

void UmockdevBed::Unplug(VirtualUsbDevice& device) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->closing) return;
  std::erase_if(impl_->returns, [&](const Impl::Return& r) { return r.device == &device; });
  impl_->Unplug(device);
}

void UmockdevBed::Reenumerate(VirtualUsbDevice& device) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->closing || !device.attached()) return;
  impl_->Unplug(device);
  for (VirtualUsbDevice* arriving : std::exchange(impl_->arriveOnReset, {})) {
    impl_->Plug(*arriving);
  }
  impl_->ReturnAt(std::chrono::steady_clock::now() + device.options_.reenumerationDelay, device);
}

void UmockdevBed::Impl::ReturnAt(std::chrono::steady_clock::time_point at,
                                 VirtualUsbDevice& device) {
  returns.push_back({at, &device});
  if (!returner.joinable()) {
    returner = std::jthread([this](std::stop_token stop) { RunReturns(stop); });
  }
  returnsChanged.notify_all();
}

void UmockdevBed::PlugInAfter(VirtualUsbDevice& device, std::chrono::milliseconds after) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->closing) return;
  impl_->ReturnAt(std::chrono::steady_clock::now() + after, device);
}

void UmockdevBed::PlugInOnNextReset(VirtualUsbDevice& device) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->closing) return;
  impl_->Unplug(device);
  impl_->arriveOnReset.push_back(&device);
}

std::size_t UmockdevBed::reenumerations() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->reenumerations;
}

void UmockdevBed::Replug(VirtualUsbDevice& device) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->closing) return;
  std::erase_if(impl_->returns, [&](const Impl::Return& r) { return r.device == &device; });
  impl_->Unplug(device);
  impl_->Plug(device);
}

std::string UmockdevBed::rootDir() const {
  return impl_->root;
}

}  // namespace torv2::emulator
