// The umockdev face of the virtual programmer, driven by a raw libusb client in the same
// process: what a host sees on enumeration, the Microsoft OS descriptors, control stalls, bulk
// transfers with USB's packet rules, time-outs, unplugging and hotplug.

#include <gtest/gtest.h>
#include <libusb.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <numeric>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "emulator/umockdev/umockdev_bed.h"
#include "tests/usb/raw_usb.h"

namespace torv2::usbtest {
namespace {

using namespace std::chrono_literals;
using emulator::GuidSource;
using emulator::UmockdevBed;
using emulator::VirtualProgrammer;
using emulator::VirtualUsbDevice;
using emulator::VirtualUsbOptions;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kIn = 0x81;
constexpr std::uint8_t kOut = 0x01;

std::vector<std::uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return v;
}

struct BulkResult {
  int error = 0;
  std::vector<std::uint8_t> data;
};

BulkResult Read(libusb_device_handle* h, std::size_t length, unsigned timeoutMs = 2000) {
  BulkResult r;
  r.data.resize(length);
  int n = 0;
  r.error = libusb_bulk_transfer(h, kIn, r.data.data(), static_cast<int>(length), &n, timeoutMs);
  r.data.resize(static_cast<std::size_t>(n));
  return r;
}

int Write(libusb_device_handle* h, std::vector<std::uint8_t> data, unsigned timeoutMs = 2000) {
  int n = 0;
  const int error =
      libusb_bulk_transfer(h, kOut, data.data(), static_cast<int>(data.size()), &n, timeoutMs);
  if (error == 0 && n != static_cast<int>(data.size())) return LIBUSB_ERROR_IO;
  return error;
}

void SendRaw(VirtualUsbDevice& device, std::string_view text) {
  device.WithProgrammer([&](VirtualProgrammer& p) { p.SendRaw(Bytes(text)); });
}

// Runs libusb's event handling for asynchronous transfers and hotplug callbacks.
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
    while (true) {
      {
        std::lock_guard lock(mutex_);
        if (stop_) return;
      }
      timeval tv{0, 100000};
      libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
    }
  }
  libusb_context* ctx_;
  std::mutex mutex_;
  bool stop_ = false;
  std::thread thread_;
};

// An asynchronous bulk IN transfer whose completion a test can wait for.
class AsyncRead {
 public:
  AsyncRead(libusb_device_handle* h, std::size_t length, unsigned timeoutMs)
      : buffer_(length), transfer_(libusb_alloc_transfer(0)) {
    libusb_fill_bulk_transfer(transfer_, h, kIn, buffer_.data(), static_cast<int>(length),
                              &AsyncRead::Done, this, timeoutMs);
    submitted_ = libusb_submit_transfer(transfer_);
  }
  ~AsyncRead() {
    if (submitted_ == 0) {
      libusb_cancel_transfer(transfer_);
      Wait();
    }
    libusb_free_transfer(transfer_);
  }
  int submitted() const { return submitted_; }
  // The transfer's status and data once it completed (nullopt after 10 s).
  std::optional<std::pair<libusb_transfer_status, std::vector<std::uint8_t>>> Wait() {
    std::unique_lock lock(mutex_);
    if (!done_.wait_for(lock, 10s, [this] { return finished_; })) return std::nullopt;
    return std::pair{status_, data_};
  }
  bool finished() {
    std::lock_guard lock(mutex_);
    return finished_;
  }

 private:
  static void LIBUSB_CALL Done(libusb_transfer* t) {
    auto* self = static_cast<AsyncRead*>(t->user_data);
    std::lock_guard lock(self->mutex_);
    self->status_ = t->status;
    self->data_.assign(self->buffer_.begin(), self->buffer_.begin() + t->actual_length);
    self->finished_ = true;
    self->done_.notify_all();
  }
  std::vector<std::uint8_t> buffer_;
  libusb_transfer* transfer_;
  int submitted_ = LIBUSB_ERROR_OTHER;
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  libusb_transfer_status status_ = LIBUSB_TRANSFER_ERROR;
  std::vector<std::uint8_t> data_;
};

class Face : public ::testing::Test {
 protected:
  // Devices are plugged in first; the context made afterwards finds them in its first scan.
  void StartLibusb() {
    ctx_.emplace();
    ASSERT_NE(ctx_->get(), nullptr);
  }
  libusb_context* ctx() { return ctx_->get(); }

  Handle OpenDevice(const VirtualUsbDevice& device) {
    DeviceList list(ctx());
    return Open(FindByAddress(list, device.busnum(), device.devnum()));
  }
  Handle Claimed(const VirtualUsbDevice& device) {
    Handle h = OpenDevice(device);
    EXPECT_TRUE(h);
    if (h) {
      EXPECT_EQ(libusb_claim_interface(h.get(), 0), 0);
    }
    return h;
  }

  UmockdevBed bed_;  // before any libusb context, and outlives it
  std::optional<Context> ctx_;
};

// --- enumeration ---

struct EnumerationCase {
  const char* name;
  GuidSource source;
  bool highSpeed;
  std::uint16_t bcdUsb;
  std::uint16_t productId;
  libusb_speed speed;
  std::uint16_t packetSize;
  const char* guid;
  friend void PrintTo(const EnumerationCase& c, std::ostream* os) { *os << c.name; }
};

class Enumeration : public Face, public ::testing::WithParamInterface<EnumerationCase> {};

TEST_P(Enumeration, HostSeesTheDeviceAsDescribed) {
  const EnumerationCase& c = GetParam();
  VirtualUsbDevice& device =
      bed_.Add({.highSpeed = c.highSpeed, .guidSource = c.source, .serial = "SN-42"});
  StartLibusb();

  DeviceList list(ctx());
  ASSERT_EQ(list.devices().size(), 1u);
  libusb_device* dev = list.devices()[0];
  EXPECT_EQ(libusb_get_bus_number(dev), device.busnum());
  EXPECT_EQ(libusb_get_device_address(dev), device.devnum());
  EXPECT_EQ(libusb_get_device_speed(dev), c.speed);

  const libusb_device_descriptor d = DescriptorOf(dev);
  EXPECT_EQ(d.bcdUSB, c.bcdUsb);
  EXPECT_EQ(d.idVendor, 0x1209);
  EXPECT_EQ(d.idProduct, c.productId);
  EXPECT_EQ(d.bNumConfigurations, 1);

  libusb_config_descriptor* config = nullptr;
  ASSERT_EQ(libusb_get_active_config_descriptor(dev, &config), 0);
  ASSERT_EQ(config->bNumInterfaces, 1);
  const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
  EXPECT_EQ(alt.bInterfaceNumber, 0);
  EXPECT_EQ(alt.bInterfaceClass, 0xFF);
  ASSERT_EQ(alt.bNumEndpoints, 2);
  EXPECT_EQ(alt.endpoint[0].bEndpointAddress, kIn);
  EXPECT_EQ(alt.endpoint[1].bEndpointAddress, kOut);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(alt.endpoint[i].bmAttributes & 0x03, LIBUSB_TRANSFER_TYPE_BULK);
    EXPECT_EQ(alt.endpoint[i].wMaxPacketSize, c.packetSize);
  }
  libusb_free_config_descriptor(config);

  Handle h = Open(dev);
  ASSERT_TRUE(h);
  unsigned char serial[64] = {};
  ASSERT_GT(libusb_get_string_descriptor_ascii(h.get(), d.iSerialNumber, serial, sizeof serial), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(serial), "SN-42");
  EXPECT_EQ(GuidSourceOf(h.get()), c.guid);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Enumeration,
    ::testing::Values(EnumerationCase{"FullSpeed", GuidSource::MsOs20, false, 0x0201, 0x0001,
                                      LIBUSB_SPEED_FULL, 64, "msos20"},
                      EnumerationCase{"HighSpeed", GuidSource::MsOs20, true, 0x0201, 0x0001,
                                      LIBUSB_SPEED_HIGH, 512, "msos20"},
                      EnumerationCase{"MsOs10Only", GuidSource::MsOs10Only, false, 0x0200, 0x0001,
                                      LIBUSB_SPEED_FULL, 64, "msos10"},
                      EnumerationCase{"Decoy", GuidSource::None, false, 0x0201, 0x0002,
                                      LIBUSB_SPEED_FULL, 64, "none"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Face, NoSerialNumberStringWhenNoneIsGiven) {
  bed_.Add();
  StartLibusb();
  DeviceList list(ctx());
  ASSERT_EQ(list.devices().size(), 1u);
  EXPECT_EQ(DescriptorOf(list.devices()[0]).iSerialNumber, 0);
}

TEST_F(Face, SeveralDevicesHaveTheirOwnAddresses) {
  VirtualUsbDevice& decoy = bed_.Add({.guidSource = GuidSource::None});
  VirtualUsbDevice& a = bed_.Add({.serial = "A"});
  VirtualUsbDevice& b = bed_.Add({.serial = "B"});
  StartLibusb();
  DeviceList list(ctx());
  EXPECT_EQ(list.devices().size(), 3u);
  EXPECT_NE(a.devnum(), b.devnum());
  EXPECT_NE(a.devnum(), decoy.devnum());
  Handle ha = Claimed(a);
  Handle hb = Claimed(b);
  ASSERT_EQ(Write(ha.get(), Bytes("to a")), 0);
  a.WithProgrammer([](VirtualProgrammer& p) { EXPECT_EQ(p.hostBytes(), Bytes("to a")); });
  b.WithProgrammer([](VirtualProgrammer& p) { EXPECT_TRUE(p.hostBytes().empty()); });
}

// --- Microsoft OS descriptors ---

TEST_F(Face, BosCarriesTheMsOs20CapabilityAndTheSetHoldsTheGuid) {
  bed_.Add();
  StartLibusb();
  DeviceList list(ctx());
  Handle h = Open(list.devices()[0]);
  ASSERT_TRUE(h);

  // Through libusb's own BOS parser: a USB 2.0 Extension and a platform capability.
  libusb_bos_descriptor* bos = nullptr;
  ASSERT_EQ(libusb_get_bos_descriptor(h.get(), &bos), 0);
  ASSERT_EQ(bos->bNumDeviceCaps, 2);
  EXPECT_EQ(bos->dev_capability[0]->bDevCapabilityType, LIBUSB_BT_USB_2_0_EXTENSION);
  EXPECT_EQ(bos->dev_capability[1]->bDevCapabilityType, 0x05);  // platform
  libusb_free_bos_descriptor(bos);

  const ControlResult raw = GetDescriptor(h.get(), LIBUSB_DT_BOS, 0, 0, 255);
  ASSERT_EQ(raw.error, 0);
  const auto cap = FindMsOs20Capability(raw.data);
  ASSERT_TRUE(cap.has_value());

  const ControlResult set = ControlIn(h.get(), 0xC0, cap->vendorCode, 0, 7, cap->setLength);
  ASSERT_EQ(set.error, 0);
  const std::vector<std::uint8_t>& s = set.data;
  ASSERT_EQ(s.size(), cap->setLength);
  // Set header: wLength 10, MS_OS_20_SET_HEADER_DESCRIPTOR, Windows 8.1, wTotalLength.
  ASSERT_GE(s.size(), 10u);
  EXPECT_EQ(Le16(s, 0), 10);
  EXPECT_EQ(Le16(s, 2), 0x0000);
  EXPECT_EQ(Le32(s, 4), 0x06030000u);
  EXPECT_EQ(Le16(s, 8), s.size());
  // Walk the features by their lengths.
  bool compatible = false;
  bool property = false;
  for (std::size_t at = 10; at + 4 <= s.size();) {
    const std::size_t length = Le16(s, at);
    ASSERT_GE(length, 4u);
    ASSERT_LE(at + length, s.size());
    const std::span<const std::uint8_t> feature(s.data() + at, length);
    if (Le16(feature, 2) == 0x0003) {
      compatible =
          std::string(feature.begin() + 4, feature.begin() + 12) == std::string("WINUSB\0\0", 8);
    } else if (Le16(feature, 2) == 0x0004) {
      EXPECT_EQ(Le16(feature, 4), 7);  // REG_MULTI_SZ
      const std::size_t nameLength = Le16(feature, 6);
      std::vector<std::uint8_t> name(feature.begin() + 8, feature.begin() + 8 + nameLength);
      std::vector<std::uint8_t> expectedName = Utf16("DeviceInterfaceGUIDs");
      expectedName.insert(expectedName.end(), 2, 0);
      EXPECT_EQ(name, expectedName);
      const std::size_t dataAt = 8 + nameLength;
      const std::size_t dataLength = Le16(feature, dataAt);
      ASSERT_EQ(dataAt + 2 + dataLength, length);
      std::vector<std::uint8_t> value(feature.begin() + dataAt + 2, feature.end());
      std::vector<std::uint8_t> expectedValue = Utf16(kGuidText);
      expectedValue.insert(expectedValue.end(), 4, 0);  // the string's NUL and the list's
      EXPECT_EQ(value, expectedValue);
      property = true;
    }
    at += length;
  }
  EXPECT_TRUE(compatible);
  EXPECT_TRUE(property);

  // A host that asks for the header first gets just that.
  const ControlResult header = ControlIn(h.get(), 0xC0, cap->vendorCode, 0, 7, 10);
  ASSERT_EQ(header.error, 0);
  EXPECT_EQ(header.data, std::vector<std::uint8_t>(s.begin(), s.begin() + 10));
}

TEST_F(Face, DecoyBosHasNoPlatformCapability) {
  bed_.Add({.guidSource = GuidSource::None});
  StartLibusb();
  DeviceList list(ctx());
  Handle h = Open(list.devices()[0]);
  libusb_bos_descriptor* bos = nullptr;
  ASSERT_EQ(libusb_get_bos_descriptor(h.get(), &bos), 0);
  ASSERT_EQ(bos->bNumDeviceCaps, 1);
  EXPECT_EQ(bos->dev_capability[0]->bDevCapabilityType, LIBUSB_BT_USB_2_0_EXTENSION);
  libusb_free_bos_descriptor(bos);
}

TEST_F(Face, MsOs10DeviceAnswersStringEeCompatIdAndExtendedProperties) {
  bed_.Add({.guidSource = GuidSource::MsOs10Only});
  StartLibusb();
  DeviceList list(ctx());
  Handle h = Open(list.devices()[0]);
  ASSERT_TRUE(h);

  const ControlResult ee = GetDescriptor(h.get(), LIBUSB_DT_STRING, 0xEE, 0, 255);
  ASSERT_EQ(ee.error, 0);
  ASSERT_EQ(ee.data.size(), 18u);
  EXPECT_EQ(ee.data[0], 18);
  EXPECT_EQ(ee.data[1], LIBUSB_DT_STRING);
  EXPECT_EQ(std::vector<std::uint8_t>(ee.data.begin() + 2, ee.data.begin() + 16), Utf16("MSFT100"));
  const std::uint8_t vendorCode = ee.data[16];
  EXPECT_EQ(ee.data[17], 0);  // bPad

  const ControlResult compat = ControlIn(h.get(), 0xC0, vendorCode, 0, 4, 255);
  ASSERT_EQ(compat.error, 0);
  ASSERT_EQ(compat.data.size(), 40u);
  EXPECT_EQ(Le32(compat.data, 0), 40u);
  EXPECT_EQ(Le16(compat.data, 4), 0x0100);
  EXPECT_EQ(Le16(compat.data, 6), 4);
  EXPECT_EQ(compat.data[8], 1);   // bCount
  EXPECT_EQ(compat.data[16], 0);  // bFirstInterfaceNumber
  EXPECT_EQ(std::string(compat.data.begin() + 18, compat.data.begin() + 26),
            std::string("WINUSB\0\0", 8));

  // The host reads the header first, then the whole descriptor.
  const ControlResult header = ControlIn(h.get(), 0xC1, vendorCode, 0x0000, 5, 10);
  ASSERT_EQ(header.error, 0);
  ASSERT_EQ(header.data.size(), 10u);
  const std::uint32_t total = Le32(header.data, 0);
  EXPECT_EQ(Le16(header.data, 6), 5);
  EXPECT_EQ(Le16(header.data, 8), 1);  // wCount
  const ControlResult props =
      ControlIn(h.get(), 0xC1, vendorCode, 0x0000, 5, static_cast<std::uint16_t>(total));
  ASSERT_EQ(props.error, 0);
  const std::vector<std::uint8_t>& p = props.data;
  ASSERT_EQ(p.size(), total);
  EXPECT_EQ(Le32(p, 10), total - 10);  // dwSize of the one property
  EXPECT_EQ(Le32(p, 14), 1u);          // REG_SZ
  const std::size_t nameLength = Le16(p, 18);
  std::vector<std::uint8_t> expectedName = Utf16("DeviceInterfaceGUID");
  expectedName.insert(expectedName.end(), 2, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(p.begin() + 20, p.begin() + 20 + nameLength), expectedName);
  const std::size_t dataLength = Le32(p, 20 + nameLength);
  std::vector<std::uint8_t> expectedValue = Utf16(kGuidText);
  expectedValue.insert(expectedValue.end(), 2, 0);
  ASSERT_EQ(20 + nameLength + 4 + dataLength, p.size());
  EXPECT_EQ(std::vector<std::uint8_t>(p.begin() + 24 + nameLength, p.end()), expectedValue);
}

// --- control requests ---

struct ControlCase {
  const char* name;
  GuidSource source;
  std::uint8_t requestType;
  std::uint8_t request;
  std::uint16_t value;
  std::uint16_t index;
  int error;  // 0: answered
  friend void PrintTo(const ControlCase& c, std::ostream* os) { *os << c.name; }
};

class Control : public Face, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(Control, UnknownRequestsStall) {
  const ControlCase& c = GetParam();
  bed_.Add({.guidSource = c.source});
  StartLibusb();
  DeviceList list(ctx());
  Handle h = Open(list.devices()[0]);
  ASSERT_TRUE(h);
  EXPECT_EQ(ControlIn(h.get(), c.requestType, c.request, c.value, c.index, 64).error, c.error);
}

constexpr std::uint8_t kMsOs20Code = 0x5A;
constexpr std::uint8_t kMsOs10Code = 0x4D;

INSTANTIATE_TEST_SUITE_P(
    Requests, Control,
    ::testing::Values(
        ControlCase{"GetStatus", GuidSource::MsOs20, 0x80, 0x00, 0, 0, 0},
        ControlCase{"GetConfiguration", GuidSource::MsOs20, 0x80, 0x08, 0, 0, 0},
        ControlCase{"StringEeWithoutMsOs10", GuidSource::MsOs20, 0x80, 6, 0x03EE, 0,
                    LIBUSB_ERROR_PIPE},
        ControlCase{"StringBeyondTheLast", GuidSource::MsOs20, 0x80, 6, 0x0309, 0x0409,
                    LIBUSB_ERROR_PIPE},
        ControlCase{"HidDescriptor", GuidSource::MsOs20, 0x81, 6, 0x2100, 0, LIBUSB_ERROR_PIPE},
        ControlCase{"ClassRequest", GuidSource::MsOs20, 0xA1, 0x01, 0, 0, LIBUSB_ERROR_PIPE},
        ControlCase{"WrongVendorCode", GuidSource::MsOs20, 0xC0, 0x01, 0, 7, LIBUSB_ERROR_PIPE},
        ControlCase{"AlternateEnumeration", GuidSource::MsOs20, 0xC0, kMsOs20Code, 0, 8,
                    LIBUSB_ERROR_PIPE},
        ControlCase{"SetToInterface", GuidSource::MsOs20, 0xC1, kMsOs20Code, 0, 7,
                    LIBUSB_ERROR_PIPE},
        ControlCase{"DecoySet", GuidSource::None, 0xC0, kMsOs20Code, 0, 7, LIBUSB_ERROR_PIPE},
        ControlCase{"DecoyStringEe", GuidSource::None, 0x80, 6, 0x03EE, 0, LIBUSB_ERROR_PIPE},
        ControlCase{"MsOs10Bos", GuidSource::MsOs10Only, 0x80, 6, 0x0F00, 0, LIBUSB_ERROR_PIPE},
        ControlCase{"MsOs10PropertiesToDevice", GuidSource::MsOs10Only, 0xC0, kMsOs10Code, 0, 5,
                    LIBUSB_ERROR_PIPE},
        ControlCase{"MsOs10PropertiesOfInterface1", GuidSource::MsOs10Only, 0xC1, kMsOs10Code,
                    0x0100, 5, LIBUSB_ERROR_PIPE},
        ControlCase{"MsOs10CompatIdPage1", GuidSource::MsOs10Only, 0xC0, kMsOs10Code, 0x0001, 4,
                    LIBUSB_ERROR_PIPE},
        ControlCase{"MsOs10SetRequest", GuidSource::MsOs10Only, 0xC0, kMsOs10Code, 0, 7,
                    LIBUSB_ERROR_PIPE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Face, StallDoesNotDisturbTheNextRequest) {
  bed_.Add();
  StartLibusb();
  DeviceList list(ctx());
  Handle h = Open(list.devices()[0]);
  EXPECT_EQ(ControlIn(h.get(), 0xC0, 0x01, 0, 7, 64).error, LIBUSB_ERROR_PIPE);
  const ControlResult device = GetDescriptor(h.get(), LIBUSB_DT_DEVICE, 0, 0, 18);
  ASSERT_EQ(device.error, 0);
  EXPECT_EQ(device.data.size(), 18u);
}

// --- bulk transfers ---

TEST_F(Face, BulkOutDataReachesTheModelAsOneByteStream) {
  VirtualUsbDevice& device = bed_.Add();
  StartLibusb();
  Handle h = Claimed(device);
  const std::vector<std::uint8_t> big = Pattern(100 * 1024);
  ASSERT_EQ(Write(h.get(), Bytes("abc")), 0);
  ASSERT_EQ(Write(h.get(), big), 0);
  ASSERT_EQ(Write(h.get(), {}), 0);  // a zero-length packet

  std::vector<std::uint8_t> expected = Bytes("abc");
  expected.insert(expected.end(), big.begin(), big.end());
  device.WithProgrammer([&](VirtualProgrammer& p) { EXPECT_EQ(p.hostBytes(), expected); });
  EXPECT_EQ(device.bulkOutUrbs(), 3u);  // one URB per transfer, however long
  EXPECT_EQ(device.claims(), 1u);
}

struct InCase {
  const char* name;
  bool highSpeed;
  std::size_t sent;      // one device write of this many bytes
  std::size_t asked;     // the host's read
  int error;             // of the read
  std::size_t received;  // bytes the read returns
  friend void PrintTo(const InCase& c, std::ostream* os) { *os << c.name; }
};

class BulkIn : public Face, public ::testing::WithParamInterface<InCase> {};

TEST_P(BulkIn, ReadsFollowUsbPacketRules) {
  const InCase& c = GetParam();
  VirtualUsbDevice& device = bed_.Add({.highSpeed = c.highSpeed});
  StartLibusb();
  Handle h = Claimed(device);
  const std::vector<std::uint8_t> sent = Pattern(c.sent);
  device.WithProgrammer([&](VirtualProgrammer& p) { p.SendRaw(sent); });
  const BulkResult r = Read(h.get(), c.asked);
  EXPECT_EQ(r.error, c.error) << libusb_error_name(r.error);
  if (c.error == 0) {
    EXPECT_EQ(r.data, std::vector<std::uint8_t>(sent.begin(), sent.begin() + c.received));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, BulkIn,
    ::testing::Values(InCase{"FullPacket", false, 64, 64, 0, 64},
                      InCase{"OneBytePacketIntoABigBuffer", false, 1, 64, 0, 1},
                      InCase{"ShortPacketEndsTheTransfer", false, 100, 512, 0, 100},
                      InCase{"WholeWriteOfFullPackets", false, 128, 512, 0, 128},
                      InCase{"FullBufferEndsTheTransfer", false, 256, 128, 0, 128},
                      InCase{"OneByteReadOfA64BytePacket", false, 64, 1, LIBUSB_ERROR_OVERFLOW, 0},
                      InCase{"HighSpeedPacket", true, 512, 512, 0, 512},
                      InCase{"HighSpeedPacketInto64", true, 512, 64, LIBUSB_ERROR_OVERFLOW, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Face, UnansweredReadTimesOutAndLeavesNothingBehind) {
  VirtualUsbDevice& device = bed_.Add();
  StartLibusb();
  Handle h = Claimed(device);
  const auto start = Clock::now();
  const BulkResult r = Read(h.get(), 64, 50);
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(r.error, LIBUSB_ERROR_TIMEOUT);
  EXPECT_GE(elapsed, 45ms);
  EXPECT_LT(elapsed, 2s);
  // The timed-out URB was discarded and reaped: it does not swallow the next data.
  SendRaw(device, "late");
  const BulkResult next = Read(h.get(), 64);
  EXPECT_EQ(next.error, 0);
  EXPECT_EQ(next.data, Bytes("late"));
  EXPECT_EQ(device.bulkInUrbs(), 2u);
}

TEST_F(Face, WaitingReadIsAnsweredByTheCommandThatFollows) {
  VirtualUsbDevice& device = bed_.Add({.settings = {.statusReply = "Ready."}});
  StartLibusb();
  Handle h = Claimed(device);
  EventThread events(ctx());
  AsyncRead ack(h.get(), 64, 5000);
  ASSERT_EQ(ack.submitted(), 0);
  EXPECT_FALSE(ack.finished());
  ASSERT_EQ(Write(h.get(), CommandFrame("CurrentStatus")), 0);
  const auto done = ack.Wait();
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->first, LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(done->second, Bytes("+"));
  const BulkResult reply = Read(h.get(), 64);
  ASSERT_EQ(reply.error, 0);
  EXPECT_EQ(reply.data, ReplyPacket("Ready."));
}

TEST_F(Face, WaitingReadsAreServedInTheOrderTheyWereSubmitted) {
  VirtualUsbDevice& device = bed_.Add();
  StartLibusb();
  Handle h = Claimed(device);
  EventThread events(ctx());
  AsyncRead first(h.get(), 64, 5000);
  AsyncRead second(h.get(), 64, 5000);
  ASSERT_EQ(first.submitted(), 0);
  ASSERT_EQ(second.submitted(), 0);
  device.WithProgrammer([](VirtualProgrammer& p) {
    p.SendRaw(Bytes("one"));
    p.SendRaw(Bytes("two"));
  });
  const auto a = first.Wait();
  const auto b = second.Wait();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->second, Bytes("one"));
  EXPECT_EQ(b->second, Bytes("two"));
}

std::chrono::nanoseconds ProcessorTime() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// A client that polled the node without sleeping would burn most of a 300 ms wait.
constexpr auto kIdleBudget = 60ms;

TEST_F(Face, WaitingClientUsesNoProcessorTime) {
  VirtualUsbDevice& device = bed_.Add();
  StartLibusb();
  Handle h = Claimed(device);
  const auto before = ProcessorTime();
  EXPECT_EQ(Read(h.get(), 64, 300).error, LIBUSB_ERROR_TIMEOUT);
  const auto used = ProcessorTime() - before;
  EXPECT_LT(used, kIdleBudget)
      << std::chrono::duration_cast<std::chrono::milliseconds>(used).count();
}

TEST_F(Face, HandleLeftOpenOnAnUnpluggedDeviceUsesNoProcessorTime) {
  VirtualUsbDevice& device = bed_.Add();
  StartLibusb();
  Handle h = Claimed(device);
  {
    EventThread events(ctx());
    AsyncRead pending(h.get(), 64, 10000);
    bed_.Unplug(device);
    ASSERT_TRUE(pending.Wait().has_value());
  }
  // The ended URB has been reaped; nothing is left to reap, so libusb has no reason to wake.
  const auto before = ProcessorTime();
  const auto until = Clock::now() + 300ms;
  while (Clock::now() < until) {
    timeval tv{0, 50000};
    libusb_handle_events_timeout_completed(ctx(), &tv, nullptr);
  }
  const auto used = ProcessorTime() - before;
  EXPECT_LT(used, kIdleBudget)
      << std::chrono::duration_cast<std::chrono::milliseconds>(used).count();
}

// --- claiming ---

TEST_F(Face, OneHandleAtATimeHoldsTheInterface) {
  VirtualUsbDevice& device = bed_.Add();
  StartLibusb();
  Handle first = OpenDevice(device);
  Handle second = OpenDevice(device);
  ASSERT_TRUE(first && second);
  ASSERT_EQ(libusb_claim_interface(first.get(), 0), 0);
  EXPECT_EQ(libusb_claim_interface(second.get(), 0), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(libusb_claim_interface(first.get(), 1), LIBUSB_ERROR_NOT_FOUND);
  ASSERT_EQ(libusb_release_interface(first.get(), 0), 0);
  EXPECT_EQ(libusb_claim_interface(second.get(), 0), 0);
  EXPECT_EQ(device.claims(), 2u);
}

// Claiming is the host's business: a real device never hears of it, and what it queued before
// is still there afterwards. The old model restarted on every claim; that stays as a knob.
struct ClaimCase {
  const char* name;
  bool restartOnClaim;
  int error;  // of the read after claiming again
};

class Claiming : public Face, public ::testing::WithParamInterface<ClaimCase> {};

TEST_P(Claiming, ChangesNothingOnTheDeviceUnlessAsked) {
  const ClaimCase& c = GetParam();
  VirtualUsbDevice& device = bed_.Add();
  device.WithProgrammer(
      [&](VirtualProgrammer& p) { p.settings().restartOnClaim = c.restartOnClaim; });
  StartLibusb();
  {
    Handle h = Claimed(device);
    SendRaw(device, "stale");
    ASSERT_EQ(libusb_release_interface(h.get(), 0), 0);
  }  // closed as well
  Handle h = Claimed(device);
  const BulkResult r = Read(h.get(), 64, 50);
  EXPECT_EQ(r.error, c.error);
  if (c.error == 0) {
    EXPECT_EQ(r.data, Bytes("stale"));
  }
}

INSTANTIATE_TEST_SUITE_P(Knob, Claiming,
                         ::testing::Values(ClaimCase{"LikeHardware", false, 0},
                                           ClaimCase{"RestartOnClaim", true, LIBUSB_ERROR_TIMEOUT}),
                         [](const auto& info) { return std::string(info.param.name); });

// "ResetNow": the device acknowledges, leaves the bus (the handle's transfers end with
// NO_DEVICE), and comes back after its delay on the same port with the same serial number at a
// new address, holding the same flash.
TEST_F(Face, ResetNowReenumerates) {
  VirtualUsbDevice& device =
      bed_.Add({.serial = "KEEP", .reenumerationDelay = std::chrono::milliseconds(50)});
  StartLibusb();
  const int before = device.devnum();
  Handle h = Claimed(device);
  ASSERT_EQ(Write(h.get(), CommandFrame("ResetNow")), 0);
  const BulkResult ack = Read(h.get(), 64);
  ASSERT_EQ(ack.error, 0);
  EXPECT_EQ(ack.data, Bytes("+"));
  EXPECT_EQ(Read(h.get(), 64, 2000).error, LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(Write(h.get(), CommandFrame("CurrentStatus")), LIBUSB_ERROR_NO_DEVICE);

  const auto deadline = Clock::now() + 10s;
  while (!device.attached() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(device.attached());
  EXPECT_NE(device.devnum(), before);
  EXPECT_EQ(bed_.reenumerations(), 1u);

  Context fresh;
  DeviceList list(fresh.get());
  ASSERT_EQ(list.devices().size(), 1u);
  libusb_device* back = list.devices()[0];
  EXPECT_EQ(libusb_get_device_address(back), device.devnum());
  std::uint8_t ports[8] = {};
  ASSERT_EQ(libusb_get_port_numbers(back, ports, sizeof ports), 1);
  EXPECT_EQ(ports[0], 1);  // the port it was on
  Handle again = Open(back);
  ASSERT_TRUE(again);
  unsigned char serial[16] = {};
  ASSERT_GT(libusb_get_string_descriptor_ascii(again.get(), DescriptorOf(back).iSerialNumber,
                                               serial, sizeof serial),
            0);
  EXPECT_STREQ(reinterpret_cast<const char*>(serial), "KEEP");
  ASSERT_EQ(libusb_claim_interface(again.get(), 0), 0);
  ASSERT_EQ(Write(again.get(), CommandFrame("VersionRead:Torv2MainExe,")), 0);
  std::string answer;
  while (answer.find("#") == std::string::npos) {
    const BulkResult r = Read(again.get(), 64);
    ASSERT_EQ(r.error, 0);
    answer.append(r.data.begin(), r.data.end());
  }
  EXPECT_EQ(answer.substr(0, answer.find('#')), "+$MainExe - TORV2 Execute V02.07");
  device.WithProgrammer([](VirtualProgrammer& p) { EXPECT_EQ(p.resetCount(), 1); });
}

TEST_F(Face, HousekeepingRequestsSucceed) {
  VirtualUsbDevice& device = bed_.Add();
  StartLibusb();
  Handle h = OpenDevice(device);
  EXPECT_EQ(libusb_kernel_driver_active(h.get(), 0), 0);
  EXPECT_EQ(libusb_detach_kernel_driver(h.get(), 0), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(libusb_set_auto_detach_kernel_driver(h.get(), 1), 0);
  EXPECT_EQ(libusb_set_configuration(h.get(), 1), 0);
  EXPECT_EQ(libusb_claim_interface(h.get(), 0), 0);  // through DISCONNECT_CLAIM
  EXPECT_EQ(libusb_set_interface_alt_setting(h.get(), 0, 0), 0);
  EXPECT_EQ(libusb_clear_halt(h.get(), kIn), 0);
  EXPECT_EQ(libusb_clear_halt(h.get(), kOut), 0);
  EXPECT_EQ(libusb_reset_device(h.get()), 0);
  SendRaw(device, "after reset");
  EXPECT_EQ(Read(h.get(), 64).data, Bytes("after reset"));
}

// --- unplugging ---

TEST_F(Face, UnplugEndsAWaitingReadWithNoDevice) {
  VirtualUsbDevice& device = bed_.Add();
  StartLibusb();
  Handle h = Claimed(device);
  EventThread events(ctx());
  AsyncRead pending(h.get(), 64, 10000);
  ASSERT_EQ(pending.submitted(), 0);
  bed_.Unplug(device);
  const auto done = pending.Wait();
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->first, LIBUSB_TRANSFER_NO_DEVICE);
  EXPECT_FALSE(device.attached());
  EXPECT_EQ(Write(h.get(), Bytes("x")), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(Read(h.get(), 64).error, LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_release_interface(h.get(), 0), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(Face, BlockingReadEndsWithNoDeviceOnUnplug) {
  VirtualUsbDevice& device = bed_.Add();
  StartLibusb();
  Handle h = Claimed(device);
  std::thread unplugger([&] {
    // Unplug once the read is waiting in the model's queue of reads.
    const auto deadline = Clock::now() + 10s;
    while (device.bulkInUrbs() == 0 && Clock::now() < deadline) std::this_thread::yield();
    bed_.Unplug(device);
  });
  const BulkResult r = Read(h.get(), 64, 10000);
  unplugger.join();
  EXPECT_EQ(r.error, LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(Face, FirmwareThatDropsOffTheBusIsUnplugged) {
  VirtualUsbDevice& device = bed_.Add();
  device.WithProgrammer([](VirtualProgrammer& p) {
    p.faults().atStep =
        emulator::StepFault{emulator::Step::StatusReply, 1, emulator::FaultKind::Unplug};
  });
  StartLibusb();
  Handle h = Claimed(device);
  ASSERT_EQ(Write(h.get(), CommandFrame("CurrentStatus")), 0);
  // The command was acknowledged; the reply never comes: the device is gone.
  BulkResult r = Read(h.get(), 64);
  if (r.error == 0 && r.data == Bytes("+")) r = Read(h.get(), 64);
  EXPECT_EQ(r.error, LIBUSB_ERROR_NO_DEVICE);
  EXPECT_FALSE(device.attached());
}

TEST_F(Face, ReplugBringsTheSameModelBackAtANewAddress) {
  VirtualUsbDevice& device = bed_.Add({.serial = "KEEP"});
  StartLibusb();
  const int before = device.devnum();
  {
    Handle h = Claimed(device);
    ASSERT_EQ(Write(h.get(), Bytes("before")), 0);
  }
  bed_.Replug(device);
  EXPECT_TRUE(device.attached());
  EXPECT_NE(device.devnum(), before);

  // A new context scans the bus afresh (the first one learns of it by hotplug).
  Context fresh;
  DeviceList list(fresh.get());
  ASSERT_EQ(list.devices().size(), 1u);
  EXPECT_EQ(libusb_get_device_address(list.devices()[0]), device.devnum());
  Handle h = Open(list.devices()[0]);
  ASSERT_TRUE(h);
  ASSERT_EQ(libusb_claim_interface(h.get(), 0), 0);
  ASSERT_EQ(Write(h.get(), Bytes("after")), 0);
  device.WithProgrammer(
      [](VirtualProgrammer& p) { EXPECT_EQ(p.hostBytes(), Bytes("beforeafter")); });
}

// --- hotplug ---

class Hotplug : public Face {
 protected:
  struct Event {
    bool arrived;
    int address;
    std::uint16_t productId;
  };

  void Register() {
    ASSERT_EQ(libusb_hotplug_register_callback(
                  ctx(), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                  LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                  LIBUSB_HOTPLUG_MATCH_ANY, &Hotplug::OnEvent, this, &handle_),
              0);
  }
  void TearDown() override {
    if (ctx_) libusb_hotplug_deregister_callback(ctx(), handle_);
  }
  // The first `n` events, in order (fewer if they do not come within 10 s).
  std::vector<Event> WaitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return events_.size() >= n; });
    return events_;
  }

 private:
  static int LIBUSB_CALL OnEvent(libusb_context*, libusb_device* dev, libusb_hotplug_event event,
                                 void* self) {
    auto* test = static_cast<Hotplug*>(self);
    std::lock_guard lock(test->mutex_);
    test->events_.push_back({event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                             libusb_get_device_address(dev), DescriptorOf(dev).idProduct});
    test->changed_.notify_all();
    return 0;
  }

  libusb_hotplug_callback_handle handle_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

TEST_F(Hotplug, ArrivalRemovalAndReturnAreReported) {
  ASSERT_TRUE(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));
  StartLibusb();
  Register();
  EventThread events(ctx());

  // Each change waits for the event before it: libusb reads an arrived device's sysfs entry
  // when it handles the arrival, so a device unplugged before that is rightly never reported.
  VirtualUsbDevice& device = bed_.Add();
  const int first = device.devnum();
  ASSERT_EQ(WaitFor(1).size(), 1u);
  bed_.Add({.guidSource = GuidSource::None});
  ASSERT_EQ(WaitFor(2).size(), 2u);
  bed_.Unplug(device);
  ASSERT_EQ(WaitFor(3).size(), 3u);
  bed_.Replug(device);

  const std::vector<Event> seen = WaitFor(4);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_TRUE(seen[0].arrived);
  EXPECT_EQ(seen[0].address, first);
  EXPECT_EQ(seen[0].productId, 0x0001);
  EXPECT_TRUE(seen[1].arrived);
  EXPECT_EQ(seen[1].productId, 0x0002);
  EXPECT_FALSE(seen[2].arrived);
  EXPECT_EQ(seen[2].address, first);
  EXPECT_TRUE(seen[3].arrived);
  EXPECT_EQ(seen[3].address, device.devnum());
  EXPECT_NE(seen[3].address, first);
}

TEST_F(Hotplug, ResetNowIsARemovalThenAnArrival) {
  ASSERT_TRUE(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));
  VirtualUsbDevice& device = bed_.Add({.reenumerationDelay = std::chrono::milliseconds(0)});
  const int first = device.devnum();
  StartLibusb();
  Register();
  EventThread events(ctx());
  {
    Handle h = Claimed(device);
    ASSERT_EQ(Write(h.get(), CommandFrame("ResetNow")), 0);
    EXPECT_EQ(Read(h.get(), 64).data, Bytes("+"));
  }
  const std::vector<Event> seen = WaitFor(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[0].arrived);
  EXPECT_EQ(seen[0].address, first);
  EXPECT_TRUE(seen[1].arrived);
  EXPECT_NE(seen[1].address, first);
}

}  // namespace
}  // namespace torv2::usbtest
