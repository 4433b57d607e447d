#include "emulator/umockdev/usbfs_node.h"

#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>
#include <system_error>

#include "emulator/umockdev/umockdev_bed.h"
#include "emulator/usb/control_requests.h"

namespace torv2::emulator {
namespace {

// What the node reports to GET_CAPABILITIES: a modern kernel on an xHCI controller, so libusb
// submits every bulk transfer as one URB.
constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// Refuse URBs beyond this, as a kernel refuses what it cannot allocate.
constexpr int kMaxUrbLength = 16 * 1024 * 1024;

// A resolved pointer argument of `size` bytes, or null when the client passed none.
GObjectPtr<UMockdevIoctlData> Resolve(UMockdevIoctlData* data, std::size_t offset,
                                      std::size_t size) {
  GError* error = nullptr;
  UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, size, &error);
  if (error) {
    g_error_free(error);
    if (child) g_object_unref(child);
    return {};
  }
  return GObjectPtr<UMockdevIoctlData>::Adopt(child);
}

template <class T>
T* As(const GObjectPtr<UMockdevIoctlData>& data) {
  if (!data || static_cast<std::size_t>(data->data_len) < sizeof(T)) return nullptr;
  return reinterpret_cast<T*>(data->data);
}

// The argument of an ioctl that takes a value, not a pointer.
gulong ValueArgument(UMockdevIoctlData* arg) {
  gulong value = 0;
  if (arg && static_cast<std::size_t>(arg->data_len) >= sizeof(value)) {
    std::memcpy(&value, arg->data, sizeof(value));
  }
  return value;
}

gboolean HandleIoctlThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
  return static_cast<UsbfsNode*>(node)->OnIoctl(client);
}

// read() on a usbfs node returns descriptors, write() is refused; neither is used by libusb
// when sysfs is there. Refusing keeps a stray read from draining the FIFO.
gboolean HandleReadWriteThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  umockdev_ioctl_client_complete(client, -1, EINVAL);
  return TRUE;
}

void ClientConnectedThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
  static_cast<UsbfsNode*>(node)->OnClientConnected(client);
}

void ConnectionChangedThunk(UMockdevIoctlClient* client, GParamSpec*, gpointer node) {
  static_cast<UsbfsNode*>(node)->OnClientConnectionChanged(client);
}

}  // namespace

// --- ReapSignal ---

ReapSignal::ReapSignal(const std::string& path) {
  if (::mkfifo(path.c_str(), 0666) != 0) {
    throw std::system_error(errno, std::generic_category(), "mkfifo " + path);
  }
  fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
  // One page: a few bytes of filler make the pipe full. Failing that, Set() fills it whole.
  (void)::fcntl(fd_, F_SETPIPE_SZ, 4096);
  Set(false);
}

ReapSignal::~ReapSignal() {
  if (fd_ >= 0) ::close(fd_);
}

void ReapSignal::Set(bool reapable) {
  if (reapable == reapable_) return;
  std::array<std::uint8_t, 4096> filler{};
  if (reapable) {
    while (::read(fd_, filler.data(), filler.size()) > 0) {
    }
  } else {
    while (::write(fd_, filler.data(), filler.size()) > 0) {
    }
  }
  reapable_ = reapable;
}

// --- UsbfsNode ---

UsbfsNode::UsbfsNode(VirtualUsbDevice& device, int devnum, const std::string& fifoPath,
                     std::optional<BusTiming> timing)
    : device_(device),
      devnum_(devnum),
      handler_(GObjectPtr<UMockdevIoctlBase>::Adopt(umockdev_ioctl_base_new())),
      signal_(fifoPath),
      timing_(timing) {
  if (timing_) busClock_ = std::jthread([this](std::stop_token stop) { RunBusClock(stop); });
  auto connect = [&](const char* name, GCallback callback) {
    handlerSignals_.push_back(g_signal_connect(handler_.get(), name, callback, this));
  };
  connect("handle-ioctl", G_CALLBACK(HandleIoctlThunk));
  connect("handle-read", G_CALLBACK(HandleReadWriteThunk));
  connect("handle-write", G_CALLBACK(HandleReadWriteThunk));
  connect("client-connected", G_CALLBACK(ClientConnectedThunk));
}

UsbfsNode::~UsbfsNode() {
  if (busClock_.joinable()) {
    busClock_.request_stop();
    busClock_.join();
  }
  for (const gulong id : handlerSignals_) g_signal_handler_disconnect(handler_.get(), id);
  for (auto& [ptr, client] : clients_) {
    if (client.notifyId) g_signal_handler_disconnect(ptr, client.notifyId);
  }
}

void UsbfsNode::OnClientConnected(UMockdevIoctlClient* client) {
  std::lock_guard lock(device_.mutex_);
  ClientFor(client);
}

UsbfsNode::Client& UsbfsNode::ClientFor(UMockdevIoctlClient* c) {
  auto it = clients_.find(c);
  if (it != clients_.end()) return it->second;
  Client& client = clients_[c];
  client.client = GObjectPtr<UMockdevIoctlClient>::Ref(c);
  client.notifyId =
      g_signal_connect(c, "notify::connected", G_CALLBACK(ConnectionChangedThunk), this);
  return client;
}

void UsbfsNode::OnClientConnectionChanged(UMockdevIoctlClient* c) {
  if (umockdev_ioctl_client_get_connected(c)) return;
  std::lock_guard lock(device_.mutex_);
  // The process closed the node (or died): its URBs and its claim go with it.
  std::erase_if(waitingReads_, [c](const Urb& urb) { return urb.client == c; });
  auto it = clients_.find(c);
  if (it != clients_.end()) {
    g_signal_handler_disconnect(c, it->second.notifyId);
    clients_.erase(it);
  }
  UpdateSignal();
}

gboolean UsbfsNode::OnIoctl(UMockdevIoctlClient* c) {
  const gulong request = umockdev_ioctl_client_get_request(c);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
  int error = 0;
  VirtualUsbDevice::BusAction action = VirtualUsbDevice::BusAction::None;
  {
    std::lock_guard lock(device_.mutex_);
    Client& client = ClientFor(c);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
      // Reaping stays possible after a disconnect, until nothing is left.
      error = Reap(client, arg);
    } else if (unplugged_) {
      error = ENODEV;
    } else {
      switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
          error = GetCapabilities(arg);
          break;
        case USBDEVFS_CLAIMINTERFACE:
          error = ClaimIoctl(client, arg);
          break;
        case USBDEVFS_DISCONNECT_CLAIM:
          error = DisconnectClaim(client, arg);
          break;
        case USBDEVFS_RELEASEINTERFACE:
          error = Release(client, arg);
          break;
        case USBDEVFS_SETCONFIGURATION:
          error = SetConfiguration(arg);
          break;
        case USBDEVFS_SETINTERFACE:
          error = SetInterface(arg);
          break;
        case USBDEVFS_GETDRIVER:
          error = ENODATA;  // no kernel driver is bound
          break;
        case USBDEVFS_IOCTL:
          error = DriverIoctl(arg);
          break;
        case USBDEVFS_CLEAR_HALT:
          error = ClearHalt(arg);
          break;
        case USBDEVFS_RESET:
          error = Reset();
          break;
        case USBDEVFS_SUBMITURB:
          error = Submit(client, arg);
          break;
        case USBDEVFS_DISCARDURB:
          error = Discard(client, arg);
          break;
        default:
          error = ENOTTY;
          break;
      }
    }
    VirtualProgrammer& programmer = device_.programmer_;
    if (programmer.UnplugRequested()) {
      programmer.ClearUnplugRequest();
      if (!unplugged_) action = VirtualUsbDevice::BusAction::Unplug;
    } else if (programmer.ResetRequested() && !programmer.HasInData() && !unplugged_) {
      action = VirtualUsbDevice::BusAction::Reenumerate;  // the host has read the '+'
    }
    UpdateSignal();
  }
  umockdev_ioctl_client_complete(c, error ? -1 : 0, error);
  device_.Act(action);
  return TRUE;
}

int UsbfsNode::GetCapabilities(UMockdevIoctlData* arg) {
  const auto data = Resolve(arg, 0, sizeof(std::uint32_t));
  auto* caps = As<std::uint32_t>(data);
  if (!caps) return EFAULT;
  *caps = kCapabilities;
  return 0;
}

int UsbfsNode::Claim(Client& client, unsigned int interfaceNumber) {
  if (interfaceNumber != usb::kInterfaceNumber) return ENOENT;
  if (client.claimed) return 0;
  for (const auto& [ptr, other] : clients_) {
    if (other.claimed) return EBUSY;
  }
  client.claimed = true;
  ++device_.claims_;
  device_.programmer_.OnInterfaceClaimed();
  ServeWaitingReads();
  return 0;
}

int UsbfsNode::ClaimIoctl(Client& client, UMockdevIoctlData* arg) {
  const auto data = Resolve(arg, 0, sizeof(unsigned int));
  const auto* number = As<unsigned int>(data);
  return number ? Claim(client, *number) : EFAULT;
}

int UsbfsNode::DisconnectClaim(Client& client, UMockdevIoctlData* arg) {
  // No kernel driver is ever bound, so there is nothing to disconnect first.
  const auto data = Resolve(arg, 0, sizeof(usbdevfs_disconnect_claim));
  const auto* request = As<usbdevfs_disconnect_claim>(data);
  return request ? Claim(client, request->interface) : EFAULT;
}

int UsbfsNode::Release(Client& client, UMockdevIoctlData* arg) {
  const auto data = Resolve(arg, 0, sizeof(unsigned int));
  const auto* number = As<unsigned int>(data);
  if (!number) return EFAULT;
  if (*number != usb::kInterfaceNumber || !client.claimed) return EINVAL;
  client.claimed = false;
  return 0;
}

int UsbfsNode::SetConfiguration(UMockdevIoctlData* arg) {
  const auto data = Resolve(arg, 0, sizeof(int));
  const auto* value = As<int>(data);
  if (!value) return EFAULT;
  return (*value == usb::kConfigurationValue || *value == 0 || *value == -1) ? 0 : EINVAL;
}

int UsbfsNode::SetInterface(UMockdevIoctlData* arg) {
  const auto data = Resolve(arg, 0, sizeof(usbdevfs_setinterface));
  const auto* request = As<usbdevfs_setinterface>(data);
  if (!request) return EFAULT;
  if (request->interface != usb::kInterfaceNumber) return ENOENT;
  return request->altsetting == 0 ? 0 : EINVAL;
}

int UsbfsNode::DriverIoctl(UMockdevIoctlData* arg) {
  const auto data = Resolve(arg, 0, sizeof(usbdevfs_ioctl));
  const auto* request = As<usbdevfs_ioctl>(data);
  if (!request) return EFAULT;
  if (request->ifno != usb::kInterfaceNumber) return EINVAL;
  if (request->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) return ENODATA;
  if (request->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) return 0;
  return ENOTTY;
}

int UsbfsNode::ClearHalt(UMockdevIoctlData* arg) {
  const auto data = Resolve(arg, 0, sizeof(unsigned int));
  const auto* endpoint = As<unsigned int>(data);
  if (!endpoint) return EFAULT;
  return (*endpoint == usb::kBulkInEndpoint || *endpoint == usb::kBulkOutEndpoint) ? 0 : ENOENT;
}

int UsbfsNode::Reset() {
  // A bus reset restarts the firmware; claims survive it, as they do under usbfs.
  device_.programmer_.Restart();
  return 0;
}

int UsbfsNode::Submit(Client& client, UMockdevIoctlData* arg) {
  Urb urb;
  urb.urb = Resolve(arg, 0, sizeof(usbdevfs_urb));
  auto* u = As<usbdevfs_urb>(urb.urb);
  if (!u) return EFAULT;
  if (u->buffer_length < 0) return EINVAL;
  if (u->buffer_length > kMaxUrbLength) return ENOMEM;
  urb.client = client.client.get();
  urb.clientAddress = urb.urb->client_addr;
  urb.endpoint = u->endpoint;
  urb.capacity = static_cast<std::size_t>(u->buffer_length);
  if (urb.capacity > 0) {
    urb.buffer = Resolve(urb.urb.get(), offsetof(usbdevfs_urb, buffer), urb.capacity);
    if (!urb.buffer || static_cast<std::size_t>(urb.buffer->data_len) < urb.capacity) {
      return EFAULT;
    }
  }

  switch (u->type) {
    case USBDEVFS_URB_TYPE_CONTROL:
      if ((urb.endpoint & 0x7F) != 0) return ENOENT;
      return SubmitControl(client, std::move(urb));
    case USBDEVFS_URB_TYPE_BULK:
      if (urb.endpoint != usb::kBulkInEndpoint && urb.endpoint != usb::kBulkOutEndpoint) {
        return ENOENT;
      }
      if (!client.claimed) {
        // usbfs claims the interface for a process that uses it without claiming.
        if (const int error = Claim(client, usb::kInterfaceNumber)) return error;
      }
      if (urb.endpoint == usb::kBulkOutEndpoint) return SubmitBulkOut(client, std::move(urb));
      ++device_.bulkInUrbs_;
      waitingReads_.push_back(std::move(urb));
      ServeWaitingReads();
      return 0;
    default:
      return EINVAL;  // the device has no interrupt or isochronous endpoints
  }
}

int UsbfsNode::SubmitControl(Client&, Urb urb) {
  if (urb.capacity < 8) return EINVAL;
  const std::span<const std::uint8_t> bytes(urb.buffer->data, urb.capacity);
  const auto setup = usb::ParseSetupPacket(bytes);
  if (!setup || setup->length > urb.capacity - 8) return EINVAL;

  const usb::ControlAnswer answer = usb::AnswerControlRequest(device_.descriptors_, *setup);
  if (answer.stall) {
    urb.status = -EPIPE;
  } else if (setup->deviceToHost()) {
    urb.inData = answer.data;
    urb.inOffset = 8;
    urb.actualLength = answer.data.size();
  } else {
    urb.actualLength = setup->length;
  }
  Finish(std::move(urb));
  return 0;
}

int UsbfsNode::SubmitBulkOut(Client&, Urb urb) {
  ++device_.bulkOutUrbs_;
  const std::span<const std::uint8_t> bytes =
      urb.capacity ? std::span<const std::uint8_t>(urb.buffer->data, urb.capacity)
                   : std::span<const std::uint8_t>();
  device_.programmer_.OnOutTransfer(bytes);
  urb.actualLength = urb.capacity;
  Finish(std::move(urb));
  AddDeviceTime();
  ServeWaitingReads();
  return 0;
}

void UsbfsNode::ServeWaitingReads() {
  for (auto it = waitingReads_.begin(); it != waitingReads_.end();) {
    if (it->capacity == 0) {  // a zero-length read waits for a zero-length packet; skip it
      ++it;
      continue;
    }
    auto transfer = device_.programmer_.TakeInTransfer(it->capacity);
    if (!transfer) break;
    Urb urb = std::move(*it);
    it = waitingReads_.erase(it);
    urb.inData = std::move(transfer->data);
    urb.inData.resize(std::min(urb.inData.size(), urb.capacity));
    urb.actualLength = urb.inData.size();
    urb.status = transfer->overflow ? -EOVERFLOW : 0;
    Finish(std::move(urb));
  }
  UpdateSignal();
}

void UsbfsNode::Finish(Urb urb) {
  auto it = clients_.find(urb.client);
  if (it == clients_.end()) return;  // the client went away
  const bool bulk = (urb.endpoint & 0x7F) != 0;
  if (timing_ && bulk && urb.status == 0) {
    // The bus carries the transfer once both sides are ready and it is free.
    urb.due = std::max(Clock::now(), busFree_) + timing_->TransferTime(urb.actualLength);
    busFree_ = urb.due;
  }
  it->second.reapable.push_back(std::move(urb));
}

int UsbfsNode::Reap(Client& client, UMockdevIoctlData* arg) {
  if (client.reapable.empty()) return unplugged_ ? ENODEV : EAGAIN;
  if (client.reapable.front().due > Clock::now()) return EAGAIN;  // still on the bus
  const auto pointer = Resolve(arg, 0, sizeof(void*));
  if (!pointer) return EFAULT;
  Urb urb = std::move(client.reapable.front());
  client.reapable.pop_front();

  auto* u = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
  u->status = urb.status;
  u->actual_length = static_cast<int>(urb.actualLength);
  if (!urb.inData.empty() && urb.buffer) {
    const std::size_t room = static_cast<std::size_t>(urb.buffer->data_len);
    const std::size_t n =
        std::min(urb.inData.size(), room > urb.inOffset ? room - urb.inOffset : 0);
    std::memcpy(urb.buffer->data + urb.inOffset, urb.inData.data(), n);
  }
  // The client gets its own URB pointer back; the URB and its buffer are written back to it
  // when the ioctl completes.
  umockdev_ioctl_data_set_ptr(pointer.get(), 0, urb.urb.get());
  return 0;
}

int UsbfsNode::Discard(Client& client, UMockdevIoctlData* arg) {
  const gulong address = ValueArgument(arg);
  const auto it = std::find_if(waitingReads_.begin(), waitingReads_.end(), [&](const Urb& urb) {
    return urb.client == client.client.get() && urb.clientAddress == address;
  });
  if (it == waitingReads_.end()) return EINVAL;  // unknown, or already finished
  Urb urb = std::move(*it);
  waitingReads_.erase(it);
  urb.status = -ENOENT;
  Finish(std::move(urb));
  return 0;
}

void UsbfsNode::Unplug() {
  unplugged_ = true;
  while (!waitingReads_.empty()) {
    Urb urb = std::move(waitingReads_.front());
    waitingReads_.pop_front();
    urb.status = -ESHUTDOWN;
    Finish(std::move(urb));
  }
  for (auto& [ptr, client] : clients_) client.claimed = false;
  UpdateSignal();
}

void UsbfsNode::AddDeviceTime() {
  if (!timing_ || timing_->deviceDelayPerChunk.count() == 0) return;
  const int chunks = ChunksHandled(device_.programmer_);
  if (chunks <= chunksSeen_) return;
  busFree_ =
      std::max(Clock::now(), busFree_) + timing_->deviceDelayPerChunk * (chunks - chunksSeen_);
  chunksSeen_ = chunks;
}

void UsbfsNode::UpdateSignal() {
  const Clock::time_point now = Clock::now();
  bool reapable = false;
  std::optional<Clock::time_point> next;
  for (const auto& [ptr, client] : clients_) {
    if (client.reapable.empty()) continue;
    const Clock::time_point due = client.reapable.front().due;
    if (due <= now) {
      reapable = true;
    } else if (!next || due < *next) {
      next = due;
    }
  }
  signal_.Set(reapable);
  if (timing_ && next != nextDue_) {
    nextDue_ = next;
    clockChanged_.notify_one();
  }
}

void UsbfsNode::RunBusClock(std::stop_token stop) {
  std::unique_lock lock(device_.mutex_);
  while (!stop.stop_requested()) {
    if (nextDue_) {
      const Clock::time_point due = *nextDue_;
      clockChanged_.wait_until(lock, stop, due, [&] { return nextDue_ != due; });
    } else {
      clockChanged_.wait(lock, stop, [&] { return nextDue_.has_value(); });
    }
    if (!stop.stop_requested()) UpdateSignal();
  }
}

}  // namespace torv2::emulator
