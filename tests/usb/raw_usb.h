#pragma once
// A raw libusb client for the tests of the umockdev face: RAII for contexts and handles, and
// just enough descriptor reading to check what the virtual devices present. Deliberately
// independent of the link's own descriptor parser.

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace torv2::usbtest {

class Context {
 public:
  Context() {
    if (libusb_init(&ctx_) != 0) ctx_ = nullptr;
  }
  ~Context() {
    if (ctx_) libusb_exit(ctx_);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  libusb_context* get() const { return ctx_; }

 private:
  libusb_context* ctx_ = nullptr;
};

class Handle {
 public:
  Handle() = default;
  explicit Handle(libusb_device_handle* h) : h_(h) {}
  Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  Handle& operator=(Handle&& o) noexcept {
    std::swap(h_, o.h_);
    return *this;
  }
  ~Handle() {
    if (h_) libusb_close(h_);
  }
  libusb_device_handle* get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  libusb_device_handle* h_ = nullptr;
};

class DeviceList {
 public:
  explicit DeviceList(libusb_context* ctx) {
    const ssize_t n = libusb_get_device_list(ctx, &list_);
    count_ = n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  ~DeviceList() {
    if (list_) libusb_free_device_list(list_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  std::span<libusb_device*> devices() const { return {list_, count_}; }

 private:
  libusb_device** list_ = nullptr;
  std::size_t count_ = 0;
};

inline libusb_device_descriptor DescriptorOf(libusb_device* dev) {
  libusb_device_descriptor d{};
  libusb_get_device_descriptor(dev, &d);
  return d;
}

// Devices of the list with this address, or with this vendor and product id.
inline libusb_device* FindByAddress(const DeviceList& list, int bus, int address) {
  for (libusb_device* dev : list.devices()) {
    if (libusb_get_bus_number(dev) == bus && libusb_get_device_address(dev) == address) return dev;
  }
  return nullptr;
}

inline Handle Open(libusb_device* dev) {
  libusb_device_handle* h = nullptr;
  if (!dev || libusb_open(dev, &h) != 0) return {};
  return Handle(h);
}

// A control transfer to the device; the bytes received, or the libusb error.
struct ControlResult {
  int error = 0;  // 0 or a LIBUSB_ERROR_*
  std::vector<std::uint8_t> data;
};

inline ControlResult ControlIn(libusb_device_handle* h, std::uint8_t requestType,
                               std::uint8_t request, std::uint16_t value, std::uint16_t index,
                               std::uint16_t length, unsigned timeoutMs = 1000) {
  ControlResult r;
  r.data.resize(length);
  const int n = libusb_control_transfer(h, requestType, request, value, index, r.data.data(),
                                        length, timeoutMs);
  if (n < 0) {
    r.error = n;
    r.data.clear();
  } else {
    r.data.resize(static_cast<std::size_t>(n));
  }
  return r;
}

inline ControlResult GetDescriptor(libusb_device_handle* h, std::uint8_t type, std::uint8_t index,
                                   std::uint16_t language, std::uint16_t length) {
  return ControlIn(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                   static_cast<std::uint16_t>((type << 8) | index), language, length);
}

inline std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

inline std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

inline std::vector<std::uint8_t> Utf16(std::string_view ascii) {
  std::vector<std::uint8_t> out;
  for (const char c : ascii) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

inline bool Contains(std::span<const std::uint8_t> haystack, std::span<const std::uint8_t> needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

// The Microsoft OS 2.0 platform capability of a BOS: its vendor code and set length.
struct MsOs20Capability {
  std::uint8_t vendorCode = 0;
  std::uint16_t setLength = 0;
};

inline constexpr std::uint8_t kMsOs20Uuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                                 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

inline std::optional<MsOs20Capability> FindMsOs20Capability(std::span<const std::uint8_t> bos) {
  if (bos.size() < 5) return std::nullopt;
  const std::size_t total = std::min<std::size_t>(Le16(bos, 2), bos.size());
  for (std::size_t at = 5; at + 3 <= total;) {
    const std::size_t length = bos[at];
    if (length < 3 || at + length > total) break;
    if (bos[at + 1] == 0x10 && bos[at + 2] == 0x05 && length >= 28 &&
        std::equal(std::begin(kMsOs20Uuid), std::end(kMsOs20Uuid), bos.begin() + at + 4)) {
      return MsOs20Capability{.vendorCode = bos[at + 26], .setLength = Le16(bos, at + 24)};
    }
    at += length;
  }
  return std::nullopt;
}

inline constexpr std::string_view kGuidText = "{B91D9E33-6927-4B4D-A40D-484C312B8C26}";

// Where a device shows the programmer's GUID: "msos20", "msos10" or "none".
inline std::string GuidSourceOf(libusb_device_handle* h) {
  const std::vector<std::uint8_t> guid = Utf16(kGuidText);
  const ControlResult bos = GetDescriptor(h, LIBUSB_DT_BOS, 0, 0, 255);
  if (bos.error == 0) {
    if (const auto cap = FindMsOs20Capability(bos.data)) {
      const ControlResult set = ControlIn(h, 0xC0, cap->vendorCode, 0, 7, cap->setLength);
      if (set.error == 0 && Contains(set.data, guid)) return "msos20";
    }
  }
  const ControlResult ee = GetDescriptor(h, LIBUSB_DT_STRING, 0xEE, 0, 18);
  if (ee.error == 0 && ee.data.size() == 18 && Contains(ee.data, Utf16("MSFT100"))) {
    const ControlResult props = ControlIn(h, 0xC1, ee.data[16], 0, 5, 1024);
    if (props.error == 0 && Contains(props.data, guid)) return "msos10";
  }
  return "none";
}

// A command frame: "$g", the text, "#" and the two checksum digits over "g" and the text.
inline std::vector<std::uint8_t> CommandFrame(std::string_view text) {
  unsigned sum = 'g';
  for (const char c : text) sum += static_cast<std::uint8_t>(c);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string frame = "$g";
  frame += text;
  frame += '#';
  frame += kHex[(sum >> 4) & 0xF];
  frame += kHex[sum & 0xF];
  return {frame.begin(), frame.end()};
}

// A reply packet as the device sends it: "$", the text, "#" and the checksum over the text.
inline std::vector<std::uint8_t> ReplyPacket(std::string_view text) {
  unsigned sum = 0;
  for (const char c : text) sum += static_cast<std::uint8_t>(c);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string packet = "$";
  packet += text;
  packet += '#';
  packet += kHex[(sum >> 4) & 0xF];
  packet += kHex[sum & 0xF];
  return {packet.begin(), packet.end()};
}

}  // namespace torv2::usbtest
