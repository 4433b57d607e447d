#pragma once
// One plug-in of a virtual device: the usbfs requests on /dev/bus/usb/BBB/DDD, served for
// umockdev on its worker thread. Private to the umockdev face.

#include <glib-object.h>
#include <sys/types.h>
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "emulator/bus_timing.h"

namespace torv2::emulator {

class VirtualUsbDevice;

// Owns one reference to a GObject.
template <class T>
class GObjectPtr {
 public:
  GObjectPtr() = default;
  static GObjectPtr Adopt(T* p) { return GObjectPtr(p); }
  static GObjectPtr Ref(T* p) { return GObjectPtr(p ? static_cast<T*>(g_object_ref(p)) : nullptr); }
  GObjectPtr(GObjectPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  GObjectPtr& operator=(GObjectPtr&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  GObjectPtr(const GObjectPtr&) = delete;
  GObjectPtr& operator=(const GObjectPtr&) = delete;
  ~GObjectPtr() { reset(); }
  void reset() {
    if (p_) g_object_unref(std::exchange(p_, nullptr));
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit GObjectPtr(T* p) : p_(p) {}
  T* p_ = nullptr;
};

// The device node as a FIFO whose poll() state tells libusb when to reap: libusb waits for
// POLLOUT on a usbfs descriptor, and a pipe is writable exactly while it is not full. The FIFO
// is kept full while nothing waits to be reaped and empty while something does.
class ReapSignal {
 public:
  explicit ReapSignal(const std::string& path);  // creates the FIFO; throws std::system_error
  ~ReapSignal();
  ReapSignal(const ReapSignal&) = delete;
  ReapSignal& operator=(const ReapSignal&) = delete;
  void Set(bool reapable);

 private:
  int fd_ = -1;
  bool reapable_ = true;
};

// One end, in this process, of the socket a client process reaches the node through (umockdev
// gives each open() of the node a connection of its own). The client closing the node, or dying,
// closes the other end.
struct ClientSocket {
  int fd = -1;
  ino_t inode = 0;  // tells the socket from a later one that got the same descriptor number
  friend bool operator==(const ClientSocket&, const ClientSocket&) = default;
  // True while `fd` is still this socket and its other end is closed.
  bool PeerClosed() const;
};

class UsbfsNode {
 public:
  // Creates the FIFO at fifoPath. Attach handler() to the test bed before the device shows up
  // in sysfs; socketPath is where umockdev listens for the clients of that node. With `timing`,
  // bulk URBs become reapable only once the bus has carried them; a thread of the node's own
  // raises the reap signal when the next one is due.
  UsbfsNode(VirtualUsbDevice& device, int devnum, const std::string& fifoPath,
            std::string socketPath, std::optional<BusTiming> timing = std::nullopt);
  ~UsbfsNode();
  UsbfsNode(const UsbfsNode&) = delete;
  UsbfsNode& operator=(const UsbfsNode&) = delete;

  UMockdevIoctlBase* handler() const { return handler_.get(); }
  int devnum() const { return devnum_; }

  // The rest is called with the device's mutex held.
  // Serves bulk IN URBs that wait for data, in the order they were submitted.
  void ServeWaitingReads();
  // The device left the bus: URBs in flight end with -ESHUTDOWN, later requests get ENODEV.
  void Unplug();
  // Called by umockdev's signals (worker thread), without the mutex.
  gboolean OnIoctl(UMockdevIoctlClient* client);
  void OnClientConnected(UMockdevIoctlClient* client);
  void OnClientConnectionChanged(UMockdevIoctlClient* client);

 private:
  using Clock = std::chrono::steady_clock;
  struct Urb {
    GObjectPtr<UMockdevIoctlData> urb;     // our copy of the client's URB; written back on reap
    GObjectPtr<UMockdevIoctlData> buffer;  // its data buffer; null for a zero-length URB
    UMockdevIoctlClient* client = nullptr;
    gulong clientAddress = 0;  // the client's URB pointer, to match DISCARDURB
    std::uint8_t endpoint = 0;
    std::size_t capacity = 0;  // bytes of data the URB can take or carries
    int status = 0;
    std::size_t actualLength = 0;
    std::vector<std::uint8_t> inData;  // copied into the buffer on reap, at inOffset
    std::size_t inOffset = 0;
    Clock::time_point due{};  // reapable from then on
  };
  struct Client {
    GObjectPtr<UMockdevIoctlClient> client;
    gulong notifyId = 0;
    std::optional<ClientSocket> socket;  // when it could be told apart
    bool claimed = false;                // interface 0
    std::deque<Urb> reapable;
  };

  // Each returns the errno to complete the ioctl with (0: success).
  int Serve(Client& client, gulong request, UMockdevIoctlData* arg);
  int GetCapabilities(UMockdevIoctlData* arg);
  int Claim(Client& client, unsigned int interfaceNumber);
  int ClaimIoctl(Client& client, UMockdevIoctlData* arg);
  int DisconnectClaim(Client& client, UMockdevIoctlData* arg);
  int Release(Client& client, UMockdevIoctlData* arg);
  int SetConfiguration(UMockdevIoctlData* arg);
  int SetInterface(UMockdevIoctlData* arg);
  int DriverIoctl(UMockdevIoctlData* arg);
  int ClearHalt(UMockdevIoctlData* arg);
  int Reset();
  int Submit(Client& client, UMockdevIoctlData* arg);
  int SubmitControl(Client& client, Urb urb);
  int SubmitBulkOut(Client& client, Urb urb);
  int Reap(Client& client, UMockdevIoctlData* arg);
  int Discard(Client& client, UMockdevIoctlData* arg);

  Client& ClientFor(UMockdevIoctlClient* client);
  // What usbfs does when a process's file is released (closed, or the process died): its URBs
  // go, and so does its claim. umockdev's own notice of a closed connection is not enough: it
  // never comes for a client that dies in the middle of an ioctl, nor as a signal at all.
  void Forget(UMockdevIoctlClient* client);
  // True when `asking` is among them.
  bool ForgetVanishedClients(UMockdevIoctlClient* asking);
  // The connection umockdev has just accepted for a client.
  std::optional<ClientSocket> TakeNewSocket();
  void Finish(Urb urb);  // to its client's reapable queue
  // Raises the reap signal while some client's oldest finished URB is due, and tells the bus
  // clock when the next one will be.
  void UpdateSignal();
  void RunBusClock(std::stop_token stop);
  // Keeps the bus waiting while the device works on chunks it has taken on since last time.
  void AddDeviceTime();

  VirtualUsbDevice& device_;
  const int devnum_;
  GObjectPtr<UMockdevIoctlBase> handler_;
  std::vector<gulong> handlerSignals_;
  ReapSignal signal_;
  bool unplugged_ = false;
  const std::string socketPath_;
  std::vector<ClientSocket> knownSockets_;  // every connection given to a client, while open
  std::map<UMockdevIoctlClient*, Client> clients_;
  std::vector<GObjectPtr<UMockdevIoctlClient>> gone_;  // forgotten, its connection still open
  std::deque<Urb> waitingReads_;                       // bulk IN URBs of every client, oldest first

  // The bus model, when on. All but the thread are guarded by the device's mutex.
  std::optional<BusTiming> timing_;
  Clock::time_point busFree_{};               // the bus is busy until then
  int chunksSeen_ = 0;                        // chunks the device time is counted for
  std::optional<Clock::time_point> nextDue_;  // the earliest URB not yet due
  std::condition_variable_any clockChanged_;
  std::jthread busClock_;  // last: stopped and joined first
};

}  // namespace torv2::emulator
