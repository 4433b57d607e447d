// usb_probe: a small libusb program that the launcher test runs under with-virtual-programmer.
//
//   usb_probe                 one line per USB device: "VVVV:PPPP serial=S speed=N guid=G"
//   usb_probe --query TEXT    sends TEXT as a command frame to the first device with the GUID
//                             and prints "reply=PAYLOAD"
//   usb_probe --watch N       prints the next N hotplug events ("arrived VVVV:PPPP" / "left")
// Exits 0 on success, 2 when something failed.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/usb/raw_usb.h"

namespace {

using namespace torv2::usbtest;

int List(libusb_context* ctx) {
  DeviceList list(ctx);
  for (libusb_device* dev : list.devices()) {
    const libusb_device_descriptor d = DescriptorOf(dev);
    Handle h = Open(dev);
    if (!h) return 2;
    std::string serial = "-";
    if (d.iSerialNumber) {
      unsigned char text[128] = {};
      if (libusb_get_string_descriptor_ascii(h.get(), d.iSerialNumber, text, sizeof text) > 0) {
        serial = reinterpret_cast<const char*>(text);
      }
    }
    const int speed = libusb_get_device_speed(dev) == LIBUSB_SPEED_HIGH ? 480 : 12;
    std::printf("%04x:%04x serial=%s speed=%d guid=%s\n", d.idVendor, d.idProduct, serial.c_str(),
                speed, GuidSourceOf(h.get()).c_str());
  }
  return 0;
}

int Query(libusb_context* ctx, const std::string& text) {
  DeviceList list(ctx);
  for (libusb_device* dev : list.devices()) {
    Handle h = Open(dev);
    if (!h || GuidSourceOf(h.get()) == "none") continue;
    if (libusb_claim_interface(h.get(), 0) != 0) return 2;
    std::vector<std::uint8_t> frame = CommandFrame(text);
    int n = 0;
    if (libusb_bulk_transfer(h.get(), 0x01, frame.data(), static_cast<int>(frame.size()), &n,
                             2000) != 0) {
      return 2;
    }
    // The acknowledgement, then "$payload#cc".
    std::string in;
    while (true) {
      const std::size_t end = in.find('#', in.find('$'));
      if (in.find('$') != std::string::npos && end != std::string::npos && in.size() >= end + 3) {
        break;
      }
      unsigned char buffer[512];
      if (libusb_bulk_transfer(h.get(), 0x81, buffer, sizeof buffer, &n, 2000) != 0) return 2;
      in.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    }
    unsigned char ack = '+';
    libusb_bulk_transfer(h.get(), 0x01, &ack, 1, &n, 2000);
    const std::size_t start = in.find('$') + 1;
    std::printf("ack=%c reply=%s\n", in[0], in.substr(start, in.find('#', start) - start).c_str());
    libusb_release_interface(h.get(), 0);
    return 0;
  }
  return 2;
}

int OnHotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* remaining) {
  const libusb_device_descriptor d = DescriptorOf(dev);
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
    std::printf("arrived %04x:%04x\n", d.idVendor, d.idProduct);
  } else {
    std::printf("left %04x:%04x\n", d.idVendor, d.idProduct);
  }
  std::fflush(stdout);
  --*static_cast<int*>(remaining);
  return 0;
}

int Watch(libusb_context* ctx, int events) {
  int remaining = events;
  libusb_hotplug_callback_handle handle = 0;
  if (libusb_hotplug_register_callback(
          ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
          LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
          LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug, &remaining, &handle) != 0) {
    return 2;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (remaining > 0 && std::chrono::steady_clock::now() < deadline) {
    timeval tv{0, 100000};
    libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
  }
  libusb_hotplug_deregister_callback(ctx, handle);
  return remaining == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  Context ctx;
  if (!ctx.get()) return 2;
  if (argc == 3 && std::strcmp(argv[1], "--query") == 0) return Query(ctx.get(), argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--watch") == 0)
    return Watch(ctx.get(), std::atoi(argv[2]));
  if (argc == 1) return List(ctx.get());
  std::fprintf(stderr, "usage: usb_probe [--query TEXT | --watch N]\n");
  return 2;
}
