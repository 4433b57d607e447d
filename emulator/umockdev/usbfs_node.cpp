#include "emulator/umockdev/usbfs_node.h"

#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <span>
#include <string_view>
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

// The inode of the socket open at `fd`, or 0 when it is no socket.
ino_t SocketInode(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
  return st.st_ino;
}

bool SameSocket(const ClientSocket& s) {
  return s.inode != 0 && SocketInode(s.fd) == s.inode;
}

// The connected sockets of this process whose own address is `path`: the connections accepted
// on the socket listening there.
std::vector<ClientSocket> SocketsAt(const std::string& path) {
  std::vector<ClientSocket> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    int fd = -1;
    const std::string name = entry.path().filename().string();
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), fd);
    if (ec != std::errc{} || end != name.data() + name.size()) continue;
    const ino_t inode = SocketInode(fd);
    if (inode == 0) continue;
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sun_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path)) {
      continue;
    }
    const std::size_t pathLength = strnlen(
        address.sun_path, std::min(sizeof address.sun_path, static_cast<std::size_t>(length) -
                                                                offsetof(sockaddr_un, sun_path)));
    if (std::string_view(address.sun_path, pathLength) != path) continue;
    sockaddr_un peer{};
    socklen_t peerLength = sizeof peer;
    // The listening socket has the same address but no peer.
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
    found.push_back({fd, inode});
  }
  return found;
}

}  // namespace

bool ClientSocket::PeerClosed() const {
  if (!SameSocket(*this)) return false;  // umockdev closed it already; its own notice counts
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

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
                     std::string socketPath, std::optional<BusTiming> timing)
    : device_(device),
      devnum_(devnum),
      handler_(GObjectPtr<UMockdevIoctlBase>::Adopt(umockdev_ioctl_base_new())),
      signal_(fifoPath),
      socketPath_(std::move(socketPath)),
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
  ClientFor(client).socket = TakeNewSocket();
}

std::optional<ClientSocket> UsbfsNode::TakeNewSocket() {
  // umockdev emits client-connected right after accepting, on the one thread that accepts for
  // every node: the new connection is the one socket on this node's path not given out yet.
  std::erase_if(knownSockets_, [](const ClientSocket& s) { return !SameSocket(s); });
  std::optional<ClientSocket> newest;
  for (const ClientSocket& s : SocketsAt(socketPath_)) {
    if (std::find(knownSockets_.begin(), knownSockets_.end(), s) != knownSockets_.end()) continue;
    knownSockets_.push_back(s);
    if (!newest || s.inode > newest->inode) newest = s;  // inode numbers only grow
  }
  return newest;
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
  Forget(c);
  UpdateSignal();
}

void UsbfsNode::Forget(UMockdevIoctlClient* c) {
  std::erase_if(waitingReads_, [c](const Urb& urb) { return urb.client == c; });
  auto it = clients_.find(c);
  if (it != clients_.end()) {
    g_signal_handler_disconnect(c, it->second.notifyId);
    // umockdev complains when a client it never saw go is finalised; that waits for the end.
    if (umockdev_ioctl_client_get_connected(c)) gone_.push_back(std::move(it->second.client));
    clients_.erase(it);
  }
}

bool UsbfsNode::ForgetVanishedClients(UMockdevIoctlClient* asking) {
  std::vector<UMockdevIoctlClient*> vanished;
  for (const auto& [ptr, client] : clients_) {
    if (!umockdev_ioctl_client_get_connected(ptr) ||
        (client.socket && client.socket->PeerClosed())) {
      vanished.push_back(ptr);
    }
  }
  for (UMockdevIoctlClient* c : vanished) Forget(c);
  return std::find(vanished.begin(), vanished.end(), asking) != vanished.end();
}

gboolean UsbfsNode::OnIoctl(UMockdevIoctlClient* c) {
  const gulong request = umockdev_ioctl_client_get_request(c);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
  int error = 0;
  VirtualUsbDevice::BusAction action = VirtualUsbDevice::BusAction::None;
  {
    std::lock_guard lock(device_.mutex_);
    // A process that died right after asking is not served: what it asked for would outlive it.
    error = ForgetVanishedClients(c) ? ENODEV : Serve(ClientFor(c), request, arg);
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

int UsbfsNode::Serve(Client& client, gulong request, UMockdevIoctlData* arg) {
  // Reaping stays possible after a disconnect, until nothing is left.
  if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) return Reap(client, arg);
  if (unplugged_) return ENODEV;
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      return GetCapabilities(arg);
    case USBDEVFS_CLAIMINTERFACE:
      return ClaimIoctl(client, arg);
    case USBDEVFS_DISCONNECT_CLAIM:
      return DisconnectClaim(client, arg);
    case USBDEVFS_RELEASEINTERFACE:
      return Release(client, arg);
    case USBDEVFS_SETCONFIGURATION:
      return SetConfiguration(arg);
    case USBDEVFS_SETINTERFACE:
      return SetInterface(arg);
    case USBDEVFS_GETDRIVER:
      return ENODATA;  // no kernel driver is bound
    case USBDEVFS_IOCTL:
      return DriverIoctl(arg);
    case USBDEVFS_CLEAR_HALT:
      return ClearHalt(arg);
    case USBDEVFS_RESET:
      return Reset();
    case USBDEVFS_SUBMITURB:
      return Submit(client, arg);
    case USBDEVFS_DISCARDURB:
      return Discard(client, arg);
    default:
      return ENOTTY;
  }
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
  if (device_.busyClaimsLeft_ > 0) {  // held by a program that is not there
    --device_.busyClaimsLeft_;
    return EBUSY;
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
