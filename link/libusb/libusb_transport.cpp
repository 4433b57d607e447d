#include "link/libusb/libusb_transport.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <cstdio>
#include <mutex>
#include <span>

#include "link/libusb/ms_os_descriptors.h"
#include "link/programmer_name.h"

namespace torv2::link {

struct LibusbTransport::Context {
  explicit Context(libusb_context* c) : ctx(c) {}
  ~Context() { libusb_exit(ctx); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  libusb_context* const ctx;
};

namespace {

using std::chrono::milliseconds;
using ContextPtr = std::shared_ptr<LibusbTransport::Context>;

// --- RAII for libusb's objects ---

struct HandleCloser {
  void operator()(libusb_device_handle* h) const { libusb_close(h); }
};
using HandlePtr = std::unique_ptr<libusb_device_handle, HandleCloser>;

struct ConfigFreer {
  void operator()(libusb_config_descriptor* c) const { libusb_free_config_descriptor(c); }
};
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigFreer>;

struct TransferFreer {
  void operator()(libusb_transfer* t) const { libusb_free_transfer(t); }
};
using TransferPtr = std::unique_ptr<libusb_transfer, TransferFreer>;

class DeviceList {
 public:
  explicit DeviceList(libusb_context* ctx) {
    const ssize_t n = libusb_get_device_list(ctx, &list_);
    if (n > 0) size_ = static_cast<std::size_t>(n);
  }
  ~DeviceList() {
    if (list_) libusb_free_device_list(list_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  std::span<libusb_device* const> devices() const { return {list_, size_}; }

 private:
  libusb_device** list_ = nullptr;
  std::size_t size_ = 0;
};

// Holds a claimed interface and releases it (giving a detached kernel driver back) at the end.
class ClaimedInterface {
 public:
  ClaimedInterface(libusb_device_handle* h, std::uint8_t number) : handle_(h), number_(number) {}
  ~ClaimedInterface() { libusb_release_interface(handle_, number_); }
  ClaimedInterface(const ClaimedInterface&) = delete;
  ClaimedInterface& operator=(const ClaimedInterface&) = delete;

 private:
  libusb_device_handle* handle_;
  std::uint8_t number_;
};

unsigned int TimeoutMs(milliseconds t) {
  // libusb reads 0 as "no time-out": keep every request bounded.
  if (t.count() < 1) return 1;
  if (t.count() > static_cast<long long>(UINT_MAX)) return UINT_MAX;
  return static_cast<unsigned int>(t.count());
}

// --- control requests ---

constexpr std::uint8_t kStandardDeviceIn = 0x80;
constexpr std::uint8_t kVendorDeviceIn = 0xC0;
constexpr std::uint8_t kVendorInterfaceIn = 0xC1;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kDescriptorString = 0x03;
constexpr std::uint8_t kDescriptorBos = 0x0F;

// The bytes the device answered, or nullopt on failure (a stall included).
std::optional<std::vector<std::uint8_t>> ControlIn(libusb_device_handle* h, std::uint8_t type,
                                                   std::uint8_t request, std::uint16_t value,
                                                   std::uint16_t index, std::uint16_t length,
                                                   milliseconds timeout) {
  std::vector<std::uint8_t> buffer(length);
  const int r = libusb_control_transfer(h, type, request, value, index, buffer.data(), length,
                                        TimeoutMs(timeout));
  if (r < 0) return std::nullopt;
  buffer.resize(std::min<std::size_t>(static_cast<std::size_t>(r), length));
  return buffer;
}

std::optional<std::vector<std::uint8_t>> GetDescriptor(libusb_device_handle* h, std::uint8_t type,
                                                       std::uint8_t index, std::uint16_t langId,
                                                       std::uint16_t length, milliseconds timeout) {
  return ControlIn(h, kStandardDeviceIn, kGetDescriptor,
                   static_cast<std::uint16_t>((type << 8) | index), langId, length, timeout);
}

// --- finding the interface that carries the GUID ---

struct ActiveConfiguration {
  ConfigPtr descriptor;
  std::optional<std::uint8_t> index;  // position among the device's configurations
};

std::optional<ActiveConfiguration> GetActiveConfiguration(libusb_device* dev,
                                                          const libusb_device_descriptor& dd) {
  libusb_config_descriptor* raw = nullptr;
  if (libusb_get_active_config_descriptor(dev, &raw) != 0 || !raw) return std::nullopt;
  ActiveConfiguration active{ConfigPtr(raw), std::nullopt};
  for (std::uint8_t i = 0; i < dd.bNumConfigurations; ++i) {
    libusb_config_descriptor* c = nullptr;
    if (libusb_get_config_descriptor(dev, i, &c) != 0 || !c) continue;
    const ConfigPtr config(c);
    if (config->bConfigurationValue == active.descriptor->bConfigurationValue) {
      active.index = i;
      break;
    }
  }
  return active;
}

// The interface numbers of a configuration, in descriptor order, each once.
std::vector<std::uint8_t> InterfaceNumbers(const libusb_config_descriptor& config) {
  std::vector<std::uint8_t> numbers;
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& itf = config.interface[i];
    for (int a = 0; a < itf.num_altsetting; ++a) {
      const std::uint8_t n = itf.altsetting[a].bInterfaceNumber;
      if (std::find(numbers.begin(), numbers.end(), n) == numbers.end()) numbers.push_back(n);
    }
  }
  return numbers;
}

struct Found {
  GuidSource source = GuidSource::MsOs20;
  std::uint8_t interfaceNumber = 0;
};

std::optional<Found> FindInMsOs20(libusb_device_handle* h, const ActiveConfiguration& active,
                                  const std::vector<std::uint8_t>& interfaces, const Guid& guid,
                                  milliseconds timeout) {
  constexpr std::uint16_t kBosHeaderSize = 5;
  const auto header = GetDescriptor(h, kDescriptorBos, 0, 0, kBosHeaderSize, timeout);
  if (!header || header->size() < kBosHeaderSize) return std::nullopt;
  const auto total = static_cast<std::uint16_t>((*header)[2] | ((*header)[3] << 8));
  if (total < kBosHeaderSize) return std::nullopt;
  const auto bos = GetDescriptor(h, kDescriptorBos, 0, 0, total, timeout);
  if (!bos) return std::nullopt;
  const auto info = msos::FindMsOs20SetInfo(*bos);
  if (!info) return std::nullopt;

  const auto set = ControlIn(h, kVendorDeviceIn, info->vendorCode, 0, msos::kMsOs20DescriptorIndex,
                             info->totalLength, timeout);
  if (!set) return std::nullopt;
  for (const msos::InterfaceGuid& entry : msos::ParseMsOs20DescriptorSet(*set)) {
    if (entry.guid != guid) continue;
    if (entry.configurationIndex && entry.configurationIndex != active.index) continue;
    if (std::find(interfaces.begin(), interfaces.end(), entry.interfaceNumber) == interfaces.end())
      continue;
    return Found{GuidSource::MsOs20, entry.interfaceNumber};
  }
  return std::nullopt;
}

std::optional<Found> FindInMsOs10(libusb_device_handle* h,
                                  const std::vector<std::uint8_t>& interfaces, const Guid& guid,
                                  milliseconds timeout) {
  constexpr std::uint16_t kStringLength = 0x12;
  const auto string =
      GetDescriptor(h, kDescriptorString, msos::kMsOs10StringIndex, 0, kStringLength, timeout);
  if (!string) return std::nullopt;
  const auto vendorCode = msos::ParseMsOs10StringDescriptor(*string);
  if (!vendorCode) return std::nullopt;

  for (const std::uint8_t number : interfaces) {
    // The header first, for the length of the whole descriptor.
    const auto value = static_cast<std::uint16_t>(number << 8);
    const auto header =
        ControlIn(h, kVendorInterfaceIn, *vendorCode, value, msos::kMsOs10ExtendedPropertiesIndex,
                  msos::kMsOs10ExtendedPropertiesHeaderSize, timeout);
    if (!header) continue;
    const auto length = msos::ParseMsOs10ExtendedPropertiesLength(*header);
    if (!length || *length > UINT16_MAX) continue;
    auto whole = header;
    if (*length > header->size()) {
      whole =
          ControlIn(h, kVendorInterfaceIn, *vendorCode, value, msos::kMsOs10ExtendedPropertiesIndex,
                    static_cast<std::uint16_t>(*length), timeout);
      if (!whole) continue;
    }
    const auto guids = msos::ParseMsOs10ExtendedProperties(*whole);
    if (std::find(guids.begin(), guids.end(), guid) != guids.end()) {
      return Found{GuidSource::MsOs10, number};
    }
  }
  return std::nullopt;
}

// Reads the descriptors of an opened device: the interface that carries the GUID, if any.
std::optional<Found> FindInterface(libusb_device* dev, libusb_device_handle* h,
                                   const libusb_device_descriptor& dd, const Guid& guid,
                                   milliseconds timeout) {
  const auto active = GetActiveConfiguration(dev, dd);
  if (!active) return std::nullopt;  // unconfigured: no interface to claim
  const auto interfaces = InterfaceNumbers(*active->descriptor);
  if (dd.bcdUSB >= 0x0201) {
    if (auto found = FindInMsOs20(h, *active, interfaces, guid, timeout)) return found;
  }
  return FindInMsOs10(h, interfaces, guid, timeout);
}

std::string SerialNumber(libusb_device_handle* h, std::uint8_t index, milliseconds timeout) {
  if (index == 0) return {};
  const auto langs = GetDescriptor(h, kDescriptorString, 0, 0, 255, timeout);
  if (!langs || langs->size() < 4 || (*langs)[1] != kDescriptorString) return {};
  const auto langId = static_cast<std::uint16_t>((*langs)[2] | ((*langs)[3] << 8));
  const auto desc = GetDescriptor(h, kDescriptorString, index, langId, 255, timeout);
  if (!desc) return {};
  return msos::ParseStringDescriptor(*desc).value_or(std::string{});
}

// A device of the list, with what orders it.
struct Candidate {
  libusb_device* device = nullptr;
  UsbAddress address;
  std::vector<std::uint8_t> portPath;
};

Candidate CandidateFor(libusb_device* dev) {
  Candidate c{dev, {libusb_get_bus_number(dev), libusb_get_device_address(dev)}, {}};
  std::uint8_t ports[8] = {};
  const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
  if (n > 0) c.portPath.assign(ports, ports + n);
  return c;
}

bool Selected(const Candidate& c, const LibusbOptions& options) {
  if (options.onlyDevice && c.address != *options.onlyDevice) return false;
  if (options.onlyBus && (c.address.bus != *options.onlyBus || c.portPath != options.onlyPortPath))
    return false;
  return true;
}

std::vector<Candidate> Candidates(const DeviceList& list, const LibusbOptions& options) {
  std::vector<Candidate> out;
  for (libusb_device* dev : list.devices()) {
    Candidate c = CandidateFor(dev);
    if (Selected(c, options)) out.push_back(std::move(c));
  }
  std::sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) {
    if (a.address.bus != b.address.bus) return a.address.bus < b.address.bus;
    if (a.portPath != b.portPath) return a.portPath < b.portPath;
    return a.address.address < b.address.address;
  });
  return out;
}

// A device that carries the GUID, still open.
struct Probed {
  HandlePtr handle;
  libusb_device_descriptor descriptor{};
  Found found;
};

OpenStatus MapOpenError(int error) {
  switch (error) {
    case LIBUSB_SUCCESS:
      return OpenStatus::Opened;
    case LIBUSB_ERROR_ACCESS:
      return OpenStatus::AccessDenied;
    case LIBUSB_ERROR_BUSY:
      return OpenStatus::Busy;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return OpenStatus::NoDevice;
    default:
      return OpenStatus::Error;
  }
}

// Whether the active configuration has an interface whose alternate setting 0 holds a bulk IN
// and a bulk OUT endpoint: the least a device must have to carry the protocol. Read from the
// cached descriptors, without opening the device.
bool HasBulkPair(libusb_device* dev) {
  libusb_config_descriptor* raw = nullptr;
  if (libusb_get_active_config_descriptor(dev, &raw) != 0 || !raw) return false;
  const ConfigPtr config(raw);
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& itf = config->interface[i];
    for (int a = 0; a < itf.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = itf.altsetting[a];
      if (alt.bAlternateSetting != 0) continue;
      bool in = false, out = false;
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN ? in : out) = true;
      }
      if (in && out) return true;
    }
  }
  return false;
}

// Opens a device and reads its descriptors. nullopt for a hub, a device that cannot carry the
// protocol, a device that cannot be opened (`refused` says why) and a device without the GUID;
// those are closed again untouched.
std::optional<Probed> Probe(libusb_device* dev, const Guid& guid, milliseconds timeout,
                            OpenStatus* refused = nullptr) {
  Probed probed;
  if (libusb_get_device_descriptor(dev, &probed.descriptor) != 0) return std::nullopt;
  if (probed.descriptor.bDeviceClass == LIBUSB_CLASS_HUB) return std::nullopt;
  if (!HasBulkPair(dev)) return std::nullopt;
  libusb_device_handle* raw = nullptr;
  if (const int r = libusb_open(dev, &raw); r != 0 || !raw) {
    if (refused) *refused = MapOpenError(r != 0 ? r : LIBUSB_ERROR_OTHER);
    return std::nullopt;
  }
  probed.handle.reset(raw);
  const auto found = FindInterface(dev, probed.handle.get(), probed.descriptor, guid, timeout);
  if (!found) return std::nullopt;
  probed.found = *found;
  return probed;
}

AttachedProgrammer Describe(const Candidate& c, const Probed& p, milliseconds timeout) {
  return {c.address,
          c.portPath,
          SerialNumber(p.handle.get(), p.descriptor.iSerialNumber, timeout),
          p.found.source,
          p.found.interfaceNumber,
          p.descriptor.idVendor,
          p.descriptor.idProduct};
}

// The serial number test needs the opened device; the rest is known from the list.
bool SerialSelected(const Probed& p, const LibusbOptions& options, milliseconds timeout) {
  return options.onlySerial.empty() ||
         SerialNumber(p.handle.get(), p.descriptor.iSerialNumber, timeout) == options.onlySerial;
}

// Runs `f(candidate, probed)` for each device that carries the GUID, in order, until it returns
// true. Devices that could not be opened go to `unchecked`.
template <class F>
void ForEachProgrammer(libusb_context* ctx, const LibusbOptions& options, const Guid& guid,
                       milliseconds timeout, std::vector<UncheckedDevice>& unchecked, F&& f) {
  const DeviceList list(ctx);
  for (const Candidate& c : Candidates(list, options)) {
    OpenStatus refused = OpenStatus::Opened;
    auto probed = Probe(c.device, guid, timeout, &refused);
    if (refused != OpenStatus::Opened) unchecked.push_back({c.address.bus, c.portPath, refused});
    if (probed && SerialSelected(*probed, options, timeout) && f(c, std::move(*probed))) return;
  }
}

// --- the opened device ---

TransferStatus MapStatus(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return TransferStatus::Ok;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return TransferStatus::TimedOut;
    case LIBUSB_TRANSFER_CANCELLED:
      return TransferStatus::Cancelled;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return TransferStatus::NoDevice;
    case LIBUSB_TRANSFER_OVERFLOW:
      return TransferStatus::Overflow;
    default:
      return TransferStatus::Error;
  }
}

// What the transfer callback reports to the waiting thread. `completed` is the flag libusb's
// event handling watches; `done` is what this thread reads.
struct Completion {
  int completed = 0;
  std::atomic<bool> done{false};
};

void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) {
  auto* c = static_cast<Completion*>(transfer->user_data);
  c->completed = 1;
  c->done.store(true, std::memory_order_release);  // last touch: the waiter may now free it
}

class LibusbDevice final : public UsbDevice {
 public:
  LibusbDevice(ContextPtr context, HandlePtr handle, std::uint8_t interfaceNumber)
      : context_(std::move(context)),
        handle_(std::move(handle)),
        interfaceNumber_(interfaceNumber),
        claim_(handle_.get(), interfaceNumber) {}

  std::optional<std::vector<PipeInfo>> QueryPipes() override {
    libusb_config_descriptor* raw = nullptr;
    if (libusb_get_active_config_descriptor(libusb_get_device(handle_.get()), &raw) != 0 || !raw)
      return std::nullopt;
    const ConfigPtr config(raw);
    for (int i = 0; i < config->bNumInterfaces; ++i) {
      const libusb_interface& itf = config->interface[i];
      for (int a = 0; a < itf.num_altsetting; ++a) {
        const libusb_interface_descriptor& alt = itf.altsetting[a];
        if (alt.bInterfaceNumber != interfaceNumber_ || alt.bAlternateSetting != 0) continue;
        std::vector<PipeInfo> pipes;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
          const libusb_endpoint_descriptor& ep = alt.endpoint[e];
          pipes.push_back({static_cast<PipeType>(ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK),
                           ep.bEndpointAddress,
                           static_cast<std::uint16_t>(ep.wMaxPacketSize & 0x7FF)});
        }
        return pipes;
      }
    }
    return std::nullopt;
  }

  TransferResult BulkRead(std::uint8_t pipeId, std::span<std::uint8_t> buffer,
                          milliseconds timeout) override {
    if (!(pipeId & LIBUSB_ENDPOINT_IN)) return {TransferStatus::Error, 0};
    return Transfer(pipeId, buffer.data(), buffer.size(), timeout);
  }

  TransferResult BulkWrite(std::uint8_t pipeId, std::span<const std::uint8_t> data,
                           milliseconds timeout) override {
    if (pipeId & LIBUSB_ENDPOINT_IN) return {TransferStatus::Error, 0};
    // libusb takes a mutable pointer for both directions; an OUT transfer only reads it.
    return Transfer(pipeId, const_cast<std::uint8_t*>(data.data()), data.size(), timeout);
  }

  void Cancel() override {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (inFlight_) libusb_cancel_transfer(inFlight_);
  }

 private:
  TransferResult Transfer(std::uint8_t endpoint, std::uint8_t* data, std::size_t length,
                          milliseconds timeout) {
    if (length > static_cast<std::size_t>(INT_MAX)) return {TransferStatus::Error, 0};
    const TransferPtr transfer(libusb_alloc_transfer(0));
    if (!transfer) return {TransferStatus::Error, 0};
    Completion completion;
    libusb_fill_bulk_transfer(transfer.get(), handle_.get(), endpoint, data,
                              static_cast<int>(length), &OnTransferDone, &completion,
                              TimeoutMs(timeout));
    {
      // Submitting under the lock: Cancel() sees either no transfer and the flag stops this
      // one, or a transfer in flight that it can cancel.
      std::lock_guard lock(mutex_);
      if (cancelled_) return {TransferStatus::Cancelled, 0};
      const int r = libusb_submit_transfer(transfer.get());
      if (r == LIBUSB_ERROR_NO_DEVICE) return {TransferStatus::NoDevice, 0};
      if (r != 0) return {TransferStatus::Error, 0};
      inFlight_ = transfer.get();
    }
    bool failedEvents = false;
    while (!completion.done.load(std::memory_order_acquire)) {
      timeval tv{1, 0};
      const int r =
          libusb_handle_events_timeout_completed(context_->ctx, &tv, &completion.completed);
      if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED && !failedEvents) {
        // Event handling broke down: cancel, and keep handling events until the callback has
        // run, since the transfer may not be freed before.
        failedEvents = true;
        libusb_cancel_transfer(transfer.get());
      }
    }
    bool cancelled = false;
    {
      std::lock_guard lock(mutex_);
      inFlight_ = nullptr;
      cancelled = cancelled_;
    }
    TransferStatus status = MapStatus(transfer->status);
    if (status == TransferStatus::Cancelled && !cancelled) status = TransferStatus::Error;
    const std::size_t moved =
        transfer->actual_length > 0 ? static_cast<std::size_t>(transfer->actual_length) : 0;
    return {status, std::min(moved, length)};
  }

  ContextPtr context_;
  HandlePtr handle_;
  std::uint8_t interfaceNumber_;
  ClaimedInterface claim_;  // declared after the handle: released before it closes

  std::mutex mutex_;  // guards inFlight_ and cancelled_ against Cancel() from another thread
  libusb_transfer* inFlight_ = nullptr;
  bool cancelled_ = false;
};

}  // namespace

std::optional<UsbAddress> UsbAddress::Parse(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto number = [](std::string_view part) -> std::optional<std::uint8_t> {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || ec != std::errc{} || end != part.data() + part.size() || value > 255)
      return std::nullopt;
    return static_cast<std::uint8_t>(value);
  };
  const auto bus = number(text.substr(0, colon));
  const auto address = number(text.substr(colon + 1));
  if (!bus || !address) return std::nullopt;
  return UsbAddress{*bus, *address};
}

std::string UsbAddress::ToString() const {
  char text[8];
  std::snprintf(text, sizeof text, "%03u:%03u", unsigned{bus}, unsigned{address});
  return text;
}

std::string_view GuidSourceName(GuidSource source) {
  return source == GuidSource::MsOs20 ? "MS OS 2.0" : "MS OS 1.0";
}

std::unique_ptr<LibusbTransport> LibusbTransport::Create(LibusbOptions options) {
  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0 || !ctx) return nullptr;
  return std::unique_ptr<LibusbTransport>(
      new LibusbTransport(std::make_shared<Context>(ctx), std::move(options)));
}

LibusbTransport::LibusbTransport(std::shared_ptr<Context> context, LibusbOptions options)
    : context_(std::move(context)), options_(std::move(options)) {}

LibusbTransport::~LibusbTransport() = default;

libusb_context* LibusbTransport::context() const {
  return context_->ctx;
}

std::unique_ptr<UsbDevice> LibusbTransport::OpenDevice(const Guid& interfaceClass,
                                                       milliseconds setupTimeout) {
  // The programmer opened before, while it is there (perhaps at a new address); else the first.
  std::vector<LibusbOptions> tries;
  if (lastOpened_) {
    LibusbOptions same = options_;
    same.onlyDevice.reset();  // its address changes when it restarts
    if (!lastOpened_->serial.empty()) {
      same.onlySerial = lastOpened_->serial;
    } else {
      same.onlyBus = lastOpened_->bus;
      same.onlyPortPath = lastOpened_->portPath;
    }
    tries.push_back(std::move(same));
  }
  if (!restarting_) tries.push_back(options_);
  for (const LibusbOptions& options : tries) {
    std::unique_ptr<UsbDevice> opened;
    bool found = false;
    lastOpen_ = {};
    ForEachProgrammer(
        context_->ctx, options, interfaceClass, setupTimeout, lastOpen_.unchecked,
        [&](const Candidate& c, Probed probed) {
          // The first programmer is the one: if it cannot be claimed (in use by
          // another program), nothing is opened rather than another programmer.
          found = true;
          libusb_device_handle* h = probed.handle.get();
          const std::uint8_t number = probed.found.interfaceNumber;
          const std::string serial = SerialNumber(h, probed.descriptor.iSerialNumber, setupTimeout);
          libusb_set_auto_detach_kernel_driver(h, 1);
          const int r = libusb_claim_interface(h, number);
          lastOpen_.status = MapOpenError(r);
          if (r == 0) {
            opened = std::make_unique<LibusbDevice>(context_, std::move(probed.handle), number);
            lastOpened_ = Identity{serial, c.address.bus, c.portPath};
            lastOpen_.name =
                ProgrammerName(serial, PortName(c.address.bus, c.portPath), c.address.ToString());
            restarting_ = false;
          }
          return true;
        });
    if (found) return opened;
  }
  return nullptr;
}

std::vector<AttachedProgrammer> LibusbTransport::List(const Guid& interfaceClass,
                                                      milliseconds setupTimeout,
                                                      std::vector<UncheckedDevice>* unchecked) {
  std::vector<AttachedProgrammer> out;
  std::vector<UncheckedDevice> refused;
  ForEachProgrammer(context_->ctx, options_, interfaceClass, setupTimeout,
                    unchecked ? *unchecked : refused,
                    [&](const Candidate& c, const Probed& probed) {
                      out.push_back(Describe(c, probed, setupTimeout));
                      return false;
                    });
  return out;
}

std::optional<AttachedProgrammer> LibusbTransport::Inspect(libusb_device* device,
                                                           const Guid& interfaceClass,
                                                           milliseconds setupTimeout) const {
  const Candidate c = CandidateFor(device);
  if (!Selected(c, options_)) return std::nullopt;
  const auto probed = Probe(device, interfaceClass, setupTimeout);
  if (!probed || !SerialSelected(*probed, options_, setupTimeout)) return std::nullopt;
  return Describe(c, *probed, setupTimeout);
}

}  // namespace torv2::link
