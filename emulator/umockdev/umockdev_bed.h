#pragma once
// The virtual programmer behind umockdev: a USB device that any program using libusb (or usbfs
// directly) finds and talks to as if it were plugged in, without a kernel driver or hardware.
//
//   torv2::emulator::UmockdevBed bed;          // first, before any libusb context
//   auto& dev = bed.Add({.settings = {}, .serial = "A1"});
//   libusb_init(&ctx);                         // sees the device, hotplug works
//   ...
//   dev.WithProgrammer([](VirtualProgrammer& p) { p.faults().noAnswer = true; });
//   bed.Unplug(dev);                           // pending transfers end with NO_DEVICE
//   bed.Replug(dev);                           // comes back at a new address
//
// A device takes "ResetNow" like the hardware: it leaves the bus once the host has read the
// acknowledgement, and comes back after VirtualUsbOptions::reenumerationDelay at a new address,
// with the same serial number on the same port; the flash keeps its content.
//
// The process must run under the umockdev preload (libumockdev-preload.so): the uevents for
// hotplug are sent through it. EnsureUmockdevPreload() (preload.h) re-executes a program under
// it; the CMake function torv2_add_umockdev_gtest() does that for test binaries. Other
// processes reach the devices when they run under the preload with the bed's UMOCKDEV_DIR
// (which the bed sets in this process's environment, so children inherit it).
//
// Each device is emulated at the usbfs level (/dev/bus/usb/BBB/DDD and sysfs): descriptors,
// control requests (usb_descriptors.h, control_requests.h) and the URBs of its bulk IN 0x81
// and bulk OUT 0x01 endpoints. OUT data goes to VirtualProgrammer::OnOutTransfer; a bulk IN
// URB is answered from VirtualProgrammer::TakeInTransfer and waits while the model has nothing
// to send, until a later OUT gives it data or the host discards it (a libusb time-out).
// A device node is a FIFO that is writable exactly while a URB waits to be reaped, so a waiting
// libusb client sleeps in poll() instead of spinning.
//
// Threads: usbfs requests are served on umockdev's worker thread. Every member may be called
// from any thread; each device's model is guarded by its own mutex.

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "emulator/usb/usb_descriptors.h"
#include "emulator/virtual_programmer.h"

namespace torv2::emulator {

struct VirtualUsbOptions {
  // The model's settings. settings.maxPacketSize is also the bulk endpoints' packet size: 8,
  // 16, 32 or 64 at full speed; at high speed Add() makes it 512.
  DeviceSettings settings;
  bool highSpeed = false;                      // 512-byte bulk packets, speed 480 in sysfs
  GuidSource guidSource = GuidSource::MsOs20;  // None: a decoy without the programmer's GUID
  std::string serial;  // iSerialNumber when not empty (printable ASCII, at most 126 characters)
  Faults faults;       // the model's fault knobs from the start
  // Bulk transfers take their time on the bus (BusTiming at the device's speed): each one is
  // reaped only when the bus has carried it, one after another, as on a bus of the device's own.
  // Off: transfers complete as soon as both sides are ready.
  bool realBusTime = false;
  // With realBusTime: the device's own time for each chunk it writes to or reads from its flash
  // (each downloaded chunk, each chunk or block read back); the bus waits for it.
  std::chrono::microseconds deviceDelayPerChunk{0};
  // After "ResetNow" the device is off the bus this long, then comes back at a new address.
  std::chrono::milliseconds reenumerationDelay{1000};
  // The device node refuses to be opened (mode 000), as a real one does for a user without
  // permission. Root opens any node; a process without CAP_DAC_OVERRIDE cannot.
  bool nodeRefusesOpen = false;
  // A device that drops off the bus by a fault (FaultKind::Unplug) is plugged back in this long
  // afterwards, at a new address, as a person who pulled the cable would; never without it.
  std::optional<std::chrono::milliseconds> backAfterFaultUnplug;
  // The first this many claims of its interface fail with EBUSY, as while another program holds
  // it.
  int busyClaims = 0;
};

class UmockdevBed;
class UsbfsNode;

// One virtual device. Owned by its UmockdevBed; the reference stays valid for the bed's life,
// also while the device is unplugged.
class VirtualUsbDevice {
  class Key {  // only the bed makes devices
    friend class UmockdevBed;
    Key() = default;
  };

 public:
  VirtualUsbDevice(Key, UmockdevBed& bed, VirtualUsbOptions options, int port);
  ~VirtualUsbDevice();
  VirtualUsbDevice(const VirtualUsbDevice&) = delete;
  VirtualUsbDevice& operator=(const VirtualUsbDevice&) = delete;

  // Runs f(VirtualProgrammer&) with the model locked: set knobs, observe. When f returns, bulk
  // IN URBs waiting for data are served from what the model now has (e.g. after SendRaw), and a
  // device whose firmware asked to drop off the bus is unplugged.
  template <class F>
  decltype(auto) WithProgrammer(F&& f) {
    ModelLock lock(*this);
    return std::forward<F>(f)(lock.programmer());
  }

  // URBs submitted on the bulk endpoints since the device was added (over every plug-in).
  std::size_t bulkInUrbs() const;
  std::size_t bulkOutUrbs() const;
  // Interface claims by the host since the device was added.
  std::size_t claims() const;
  int busnum() const;
  int devnum() const;  // the current address; the last one while unplugged
  bool attached() const;
  std::string devnode() const;  // "/dev/bus/usb/BBB/DDD"
  const VirtualUsbOptions& options() const { return options_; }
  const usb::Descriptors& descriptors() const { return descriptors_; }

 private:
  friend class UmockdevBed;
  friend class UsbfsNode;

  class ModelLock {
   public:
    explicit ModelLock(VirtualUsbDevice& device);
    ~ModelLock();
    ModelLock(const ModelLock&) = delete;
    ModelLock& operator=(const ModelLock&) = delete;
    VirtualProgrammer& programmer() { return device_.programmer_; }

   private:
    VirtualUsbDevice& device_;
  };

  // After the model ran with the mutex held: serve waiting reads. Tells the caller what to do
  // after unlocking: unplug (the firmware asked to drop off the bus) or re-enumerate (it took
  // "ResetNow" and the host has read everything queued).
  enum class BusAction { None, Unplug, Reenumerate };
  BusAction AfterModelRan();
  void Act(BusAction action);

  UmockdevBed& bed_;
  const VirtualUsbOptions options_;
  const usb::Descriptors descriptors_;
  const int port_;  // the hub port: the sysfs name is "1-<port>" on every plug-in

  mutable std::mutex mutex_;  // guards everything below and every node's URB state
  VirtualProgrammer programmer_;
  std::size_t bulkInUrbs_ = 0;
  std::size_t bulkOutUrbs_ = 0;
  std::size_t claims_ = 0;
  int busyClaimsLeft_ = 0;
  int devnum_ = 0;
  std::shared_ptr<UsbfsNode> node_;  // null while unplugged
};

class UmockdevBed {
 public:
  // Creates the umockdev test bed and sets UMOCKDEV_DIR. Create it before any libusb context
  // of this process: a context made earlier never sees the emulated devices.
  UmockdevBed();
  // Removes the test bed. Close libusb handles and contexts of this process first.
  ~UmockdevBed();
  UmockdevBed(const UmockdevBed&) = delete;
  UmockdevBed& operator=(const UmockdevBed&) = delete;

  // Plugs a new device in: sysfs entry, device node, "add" uevent. Throws std::invalid_argument
  // for options no USB device could have (see VirtualUsbOptions).
  VirtualUsbDevice& Add(VirtualUsbOptions options = {});
  // The device drops off the bus: its URBs in flight end with -ESHUTDOWN (libusb: NO_DEVICE),
  // later requests on an open handle fail with ENODEV, a "remove" uevent is sent and the node
  // and sysfs entry go away. Nothing happens for a device that is not attached.
  void Unplug(VirtualUsbDevice& device);
  // The same device (model, flash, counters) comes back at a new address, like a real
  // re-enumeration. An attached device is unplugged first. Power was off in between: the
  // firmware starts over.
  void Replug(VirtualUsbDevice& device);
  // What "ResetNow" does: the device drops off the bus at once (as Unplug), its firmware
  // restarts, and after its reenumerationDelay it comes back on the same port at a new address.
  void Reenumerate(VirtualUsbDevice& device);
  // Takes `device` off the bus until another device takes "ResetNow": it arrives while that one
  // is away, as a programmer plugged in at just that moment would.
  void PlugInOnNextReset(VirtualUsbDevice& device);
  // An unplugged device comes back at a new address once `after` has passed (nothing happens
  // when it is attached by then).
  void PlugInAfter(VirtualUsbDevice& device, std::chrono::milliseconds after);
  // Times devices of this bed came back after a re-enumeration.
  std::size_t reenumerations() const;

  std::string rootDir() const;  // the test bed directory ($UMOCKDEV_DIR)

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace torv2::emulator
