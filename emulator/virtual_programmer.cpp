#include "emulator/virtual_programmer.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <exception>
#include <utility>

#include "link/packet.h"

namespace torv2::emulator {

// A lazily started coroutine; awaiting one runs it and resumes the awaiter when it ends.
class VirtualProgrammer::Firmware {
 public:
  struct promise_type {
    std::coroutine_handle<> continuation;

    Firmware get_return_object() {
      return Firmware(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        auto next = h.promise().continuation;
        return next ? next : std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() { std::terminate(); }
  };

  explicit Firmware(std::coroutine_handle<promise_type> h) : handle_(h) {}
  Firmware(Firmware&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Firmware& operator=(Firmware&&) = delete;
  ~Firmware() {
    if (handle_) handle_.destroy();
  }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
    handle_.promise().continuation = caller;
    return handle_;
  }
  void await_resume() const noexcept {}

  void Start() { handle_.resume(); }

 private:
  std::coroutine_handle<promise_type> handle_;
};

struct VirtualProgrammer::ByteAwaiter {
  VirtualProgrammer& vp;
  bool await_ready() const noexcept { return vp.outHead_ < vp.outBytes_.size(); }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    vp.waitingInto_ = {};
    vp.waiting_ = h;
  }
  std::uint8_t await_resume() noexcept { return vp.outBytes_[vp.outHead_++]; }
};

// Fills `into` from the host's bytes, suspending until enough have arrived.
struct VirtualProgrammer::BytesAwaiter {
  VirtualProgrammer& vp;
  std::span<std::uint8_t> into;
  bool await_ready() noexcept {
    const std::size_t n = std::min(into.size(), vp.outBytes_.size() - vp.outHead_);
    if (n == into.size()) {
      std::memcpy(into.data(), vp.outBytes_.data() + vp.outHead_, n);
      vp.outHead_ += n;
      return true;
    }
    return false;
  }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    vp.waitingInto_ = into;
    vp.waitingGot_ = 0;
    vp.waiting_ = h;
  }
  void await_resume() noexcept {}
};

std::string_view StepName(Step step) {
  switch (step) {
    case Step::CommandAck:
      return "command ack";
    case Step::StatusReply:
      return "status reply";
    case Step::VersionReply:
      return "version reply";
    case Step::SizeReply:
      return "size reply";
    case Step::ChunkAck:
      return "chunk ack";
    case Step::ReadChunk:
      return "read-back chunk";
    case Step::BlockStatus:
      return "block status";
    case Step::BlockData:
      return "block data";
    case Step::SocketStatus:
      return "socket status";
    case Step::FinalVerdict:
      return "final verdict";
  }
  return "?";
}

std::string_view FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::NoAnswer:
      return "no answer";
    case FaultKind::Unplug:
      return "unplug";
    case FaultKind::Junk:
      return "junk";
    case FaultKind::WrongLength:
      return "wrong length";
    case FaultKind::Refuse:
      return "refusal";
    case FaultKind::Corrupt:
      return "corrupt byte";
  }
  return "?";
}

std::string_view StepKey(Step step) {
  switch (step) {
    case Step::CommandAck:
      return "command-ack";
    case Step::StatusReply:
      return "status-reply";
    case Step::VersionReply:
      return "version-reply";
    case Step::SizeReply:
      return "size-reply";
    case Step::ChunkAck:
      return "chunk-ack";
    case Step::ReadChunk:
      return "read-chunk";
    case Step::BlockStatus:
      return "block-status";
    case Step::BlockData:
      return "block-data";
    case Step::SocketStatus:
      return "socket-status";
    case Step::FinalVerdict:
      return "final-verdict";
  }
  return "?";
}

std::string_view FaultKindKey(FaultKind kind) {
  switch (kind) {
    case FaultKind::NoAnswer:
      return "no-answer";
    case FaultKind::Unplug:
      return "unplug";
    case FaultKind::Junk:
      return "junk";
    case FaultKind::WrongLength:
      return "wrong-length";
    case FaultKind::Refuse:
      return "refuse";
    case FaultKind::Corrupt:
      return "corrupt";
  }
  return "?";
}

std::optional<Step> ParseStepKey(std::string_view key) {
  for (std::size_t i = 0; i < kStepCount; ++i) {
    const auto step = static_cast<Step>(i);
    if (StepKey(step) == key) return step;
  }
  return std::nullopt;
}

std::optional<FaultKind> ParseFaultKindKey(std::string_view key) {
  for (const FaultKind kind : {FaultKind::NoAnswer, FaultKind::Unplug, FaultKind::Junk,
                               FaultKind::WrongLength, FaultKind::Refuse, FaultKind::Corrupt}) {
    if (FaultKindKey(kind) == key) return kind;
  }
  return std::nullopt;
}

std::optional<StepFault> ParseStepFault(std::string_view text) {
  const auto first = text.find(':');
  const auto last = text.rfind(':');
  if (first == std::string_view::npos || first == last) return std::nullopt;
  const auto step = ParseStepKey(text.substr(0, first));
  const auto kind = ParseFaultKindKey(text.substr(last + 1));
  const std::string_view count = text.substr(first + 1, last - first - 1);
  int occurrence = 0;
  const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), occurrence);
  if (!step || !kind || count.empty() || ec != std::errc{} || end != count.data() + count.size() ||
      occurrence < 1) {
    return std::nullopt;
  }
  return StepFault{*step, occurrence, *kind};
}

namespace {

std::uint32_t Le32(std::span<const std::uint8_t, 8> b, std::size_t at) {
  return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
         (std::uint32_t{b[at + 3]} << 24);
}

std::uint8_t Sum(std::string_view bytes) {
  std::uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  return sum;
}

// Junk that holds no start marker, so a receiver hunting for a packet skips all of it.
constexpr std::string_view kJunk = "\x01junk\x7f";

}  // namespace

VirtualProgrammer::VirtualProgrammer(DeviceSettings settings) : settings_(std::move(settings)) {
  StartFirmware();
}

VirtualProgrammer::~VirtualProgrammer() = default;

void VirtualProgrammer::StartFirmware() {
  waiting_ = {};
  waitingInto_ = {};
  firmware_.reset();
  firmware_ = std::make_unique<Firmware>(Run());
  firmware_->Start();  // runs up to its first wait for a host byte
}

void VirtualProgrammer::OnInterfaceClaimed() {
  outBytes_.clear();
  outHead_ = 0;
  writes_.clear();
  inQueue_.clear();
  inOffset_ = 0;
  silent_ = false;
  StartFirmware();
}

void VirtualProgrammer::OnOutTransfer(std::span<const std::uint8_t> data) {
  if (settings_.recordHostBytes) {
    hostBytes_.insert(hostBytes_.end(), data.begin(), data.end());
    hostWriteSizes_.push_back(data.size());
  }
  if (outHead_ == outBytes_.size()) {
    outBytes_.clear();
    outHead_ = 0;
  }
  outBytes_.insert(outBytes_.end(), data.begin(), data.end());
  while (waiting_ && outHead_ < outBytes_.size()) {
    if (!waitingInto_.empty()) {
      const std::size_t n =
          std::min(waitingInto_.size() - waitingGot_, outBytes_.size() - outHead_);
      std::memcpy(waitingInto_.data() + waitingGot_, outBytes_.data() + outHead_, n);
      outHead_ += n;
      waitingGot_ += n;
      if (waitingGot_ < waitingInto_.size()) break;
      waitingInto_ = {};
    }
    std::exchange(waiting_, {}).resume();
  }
  FlushWrites();
}

void VirtualProgrammer::SendRaw(std::span<const std::uint8_t> bytes) {
  writes_.emplace_back(bytes.begin(), bytes.end());
  FlushWrites();
}

void VirtualProgrammer::Send(std::span<const std::uint8_t> bytes, bool readWhole) {
  if (silent_ || bytes.empty()) return;
  writes_.emplace_back(bytes.begin(), bytes.end());
  if (settings_.recordHostBytes) deviceWrites_.push_back({bytes.size(), readWhole});
}

void VirtualProgrammer::Send(std::string_view text) {
  Send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void VirtualProgrammer::FlushWrites() {
  if (faults_.mergeWrites && writes_.size() > 1) {
    std::vector<std::uint8_t> all;
    for (auto& w : writes_) all.insert(all.end(), w.begin(), w.end());
    writes_.assign(1, std::move(all));
  }
  for (auto& w : writes_) {
    const std::size_t piece = faults_.splitWrites ? faults_.splitWrites : w.size();
    for (std::size_t at = 0; at < w.size(); at += piece) {
      const std::size_t n = std::min(piece, w.size() - at);
      inQueue_.emplace_back(w.begin() + static_cast<std::ptrdiff_t>(at),
                            w.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
  }
  writes_.clear();
}

std::optional<VirtualProgrammer::InTransfer> VirtualProgrammer::TakeInTransfer(
    std::size_t capacity) {
  if (inQueue_.empty() || capacity == 0) return std::nullopt;
  ++inTransfers_;
  InTransfer t;
  const std::size_t mps = settings_.maxPacketSize;
  const std::vector<std::uint8_t>& write = inQueue_.front();
  bool ended = false;
  while (!ended) {
    const std::size_t packet = std::min(mps, write.size() - inOffset_);
    const std::size_t room = capacity - t.data.size();
    const auto from = write.begin() + static_cast<std::ptrdiff_t>(inOffset_);
    if (packet > room) {
      // The packet does not fit: the host gets what fits and the rest of the packet is lost.
      t.data.insert(t.data.end(), from, from + static_cast<std::ptrdiff_t>(room));
      t.overflow = true;
      inOffset_ += packet;
    } else {
      t.data.insert(t.data.end(), from, from + static_cast<std::ptrdiff_t>(packet));
      inOffset_ += packet;
    }
    // A short packet, or the last full one of a write (followed by a zero-length packet), ends
    // the transfer; so does a full buffer or an overflow.
    const bool writeDone = inOffset_ >= write.size();
    ended = t.overflow || packet < mps || writeDone || t.data.size() == capacity;
    if (writeDone) {
      inQueue_.pop_front();
      inOffset_ = 0;
      break;
    }
  }
  return t;
}

const std::vector<std::uint8_t>& VirtualProgrammer::flash(Image image) const {
  return flash_[static_cast<std::size_t>(image)];
}

std::optional<FaultKind> VirtualProgrammer::Arrive(Step step) {
  const auto i = static_cast<std::size_t>(step);
  ++stepCounts_[i];
  auto& fault = faults_.atStep;
  if (!fault || fault->step != step) return std::nullopt;
  if (--fault->occurrence > 0) return std::nullopt;
  const FaultKind kind = fault->kind;
  fault.reset();
  // After any fault but a changed data byte the host abandons the exchange; so does the device.
  if (kind != FaultKind::Corrupt) faulted_ = true;
  if (kind == FaultKind::NoAnswer) silent_ = true;
  if (kind == FaultKind::Unplug) {
    silent_ = true;
    unplugRequested_ = true;
  }
  return kind;
}

VirtualProgrammer::ByteAwaiter VirtualProgrammer::NextByte() {
  return ByteAwaiter{*this};
}

VirtualProgrammer::BytesAwaiter VirtualProgrammer::NextBytes(std::span<std::uint8_t> into) {
  return BytesAwaiter{*this, into};
}

VirtualProgrammer::Firmware VirtualProgrammer::Run() {
  for (;;) {
    std::string text;
    co_await ReceiveCommandFrame(text);
    if (settings_.recordHostBytes) commands_.push_back(text);
    faulted_ = false;
    if (text == "CurrentStatus") {
      co_await SendPacket(Step::StatusReply, settings_.statusReply, false);
    } else if (text == "ResetNow") {
      ++resets_;
    } else if (text == "VersionRead:Torv2MainExe,") {
      co_await SendPacket(Step::VersionReply, settings_.versionReply, false);
    } else if (text == "WriteFirmware:Torv2MainExe,") {
      co_await WriteFirmware(Image::Main);
    } else if (text == "WriteFirmware:Torv2SubExe,") {
      co_await WriteFirmware(Image::Sub);
    } else if (text == "ReadFirmware:Torv2MainExe,") {
      co_await ReadFirmware(Image::Main);
    } else if (text == "ReadFirmware:Torv2SubExe,") {
      co_await ReadFirmware(Image::Sub);
    }
    // Anything else was acknowledged and is ignored.
  }
}

VirtualProgrammer::Firmware VirtualProgrammer::ReceiveCommandFrame(std::string& text) {
  for (;;) {
    while (co_await NextByte() != '$') {
    }
    std::string frame;
    std::uint8_t b = 0;
    while ((b = co_await NextByte()) != '#' && frame.size() <= link::kMaxCommandText + 1) {
      frame.push_back(static_cast<char>(b));
    }
    if (b != '#') continue;  // too long to be a command: hunt again
    char got[2] = {static_cast<char>(co_await NextByte()), static_cast<char>(co_await NextByte())};
    char want[2];
    link::RenderChecksum(Sum(frame), want);
    const bool good = got[0] == want[0] && got[1] == want[1] && !frame.empty() && frame[0] == 'g';
    if (faults_.nakFrames > 0 || !good) {
      if (faults_.nakFrames > 0) --faults_.nakFrames;
      Send("-");
      continue;
    }
    const auto fault = Arrive(Step::CommandAck);
    if (faults_.noAnswer) silent_ = true;
    text = frame.substr(1);
    switch (fault.value_or(FaultKind::Corrupt)) {
      case FaultKind::NoAnswer:
      case FaultKind::Unplug:
        continue;
      case FaultKind::Junk:
        Send(kJunk);
        continue;  // the host took no '+': it will not go on with this command
      case FaultKind::Refuse:
        Send("-");  // the host sends the frame again
        continue;
      case FaultKind::WrongLength:
        Send("++");  // one byte too many: the next receiver skips it while hunting
        faulted_ = false;
        co_return;
      case FaultKind::Corrupt:
        if (fault) {
          Send("*");
          continue;
        }
        Send("+");
        co_return;
    }
  }
}

VirtualProgrammer::Firmware VirtualProgrammer::SendPacket(Step step, std::string payload,
                                                          bool escaped) {
  const auto fault = Arrive(step);
  if (fault == FaultKind::NoAnswer || fault == FaultKind::Unplug) co_return;
  if (fault == FaultKind::Junk) {
    Send(kJunk);
    co_return;
  }
  if (faults_.noAnswer) {
    silent_ = true;
    co_return;
  }
  if (fault == FaultKind::Refuse) {
    payload = step == Step::FinalVerdict ? "NG" : "Error";
  } else if (fault == FaultKind::WrongLength && !payload.empty()) {
    payload.pop_back();
  } else if (fault == FaultKind::Corrupt && !payload.empty()) {
    payload[payload.size() / 2] ^= 0x01;
  }
  for (;;) {
    std::string packet = faults_.junkBeforeReply;
    const char start = faults_.a4StartMarker ? '\xA4' : '$';
    packet.append(escaped ? 4 : 1, start);
    packet += payload;
    packet.append(escaped ? 4 : 1, '#');
    char digits[2];
    link::RenderChecksum(Sum(payload), digits);
    if (faults_.upperCaseChecksums > 0) {
      --faults_.upperCaseChecksums;
      for (char& d : digits) d = static_cast<char>(std::toupper(static_cast<unsigned char>(d)));
    }
    packet.append(digits, 2);
    Send(packet);
    const std::uint8_t answer = co_await NextByte();
    if (answer != '-') co_return;  // '+', or anything else: the host has moved on
  }
}

VirtualProgrammer::Firmware VirtualProgrammer::ReceiveSizeRecord(std::uint32_t& size, bool& ok) {
  std::array<std::uint8_t, 8> record{};
  co_await NextBytes(record);
  size = Le32(record, 4);
  ok = Le32(record, 0) == kSizeRecordWord && size <= kFlashSize;
  co_await SendPacket(Step::SizeReply, ok ? "OK" : "Error", false);
}

VirtualProgrammer::Firmware VirtualProgrammer::WriteFirmware(Image image) {
  std::uint32_t size = 0;
  bool ok = false;
  co_await ReceiveSizeRecord(size, ok);
  if (!ok || faulted_ || silent_) co_return;
  const std::size_t chunk = image == Image::Main ? 8192 : 1000;
  std::vector<std::uint8_t> received(size);
  for (std::size_t at = 0; at < size; at += chunk) {
    const std::size_t n = std::min<std::size_t>(chunk, size - at);
    co_await NextBytes(std::span(received).subspan(at, n));
    const auto fault = Arrive(Step::ChunkAck);
    if (fault == FaultKind::NoAnswer || fault == FaultKind::Unplug) co_return;
    std::string ack = "+.ok.ok.+";
    ack.insert(1, 1, static_cast<char>('0' + (at / chunk) % 10));  // ten bytes
    if (fault == FaultKind::Refuse) ack[9] = '-';
    if (fault == FaultKind::WrongLength) ack.pop_back();
    if (fault == FaultKind::Junk) ack = kJunk;
    if (fault == FaultKind::Corrupt) ack[5] ^= 0x01;  // a byte the host does not look at
    if (faults_.noAnswer) silent_ = true;
    Send(std::span(reinterpret_cast<const std::uint8_t*>(ack.data()), ack.size()), true);
    if (fault && fault != FaultKind::Corrupt) co_return;
  }
  flash_[static_cast<std::size_t>(image)] = std::move(received);
  ++flashWrites_[static_cast<std::size_t>(image)];
}

VirtualProgrammer::Firmware VirtualProgrammer::ReadFirmware(Image image) {
  std::uint32_t size = 0;
  bool ok = false;
  co_await ReceiveSizeRecord(size, ok);
  if (!ok || faulted_ || silent_) co_return;
  // Flash never written reads as erased.
  std::vector<std::uint8_t> content = flash_[static_cast<std::size_t>(image)];
  content.resize(size, 0xFF);
  if (const auto& flip = faults_.flipReadBackByte;
      flip && flip->image == image && flip->offset < size) {
    content[flip->offset] ^= flip->mask;
  }

  if (image == Image::Main) {
    for (std::size_t at = 0; at < size;) {
      const std::size_t n = std::min<std::size_t>(8192, size - at);
      std::vector<std::uint8_t> chunk(content.begin() + static_cast<std::ptrdiff_t>(at),
                                      content.begin() + static_cast<std::ptrdiff_t>(at + n));
      const auto fault = Arrive(Step::ReadChunk);
      if (fault == FaultKind::NoAnswer || fault == FaultKind::Unplug) co_return;
      if (fault == FaultKind::Corrupt) chunk[n / 2] ^= 0x01;
      if (fault == FaultKind::WrongLength) chunk.push_back(0x00);
      if (fault == FaultKind::Junk || fault == FaultKind::Refuse) chunk.assign(n, '-');
      if (faults_.noAnswer) silent_ = true;
      Send(chunk, true);
      const std::uint8_t answer = co_await NextByte();
      if (answer != '+') co_return;  // the host refused the chunk
      at += n;
    }
    co_return;
  }

  for (std::size_t at = 0; at < size;) {
    std::array<std::uint8_t, 4> request{};
    co_await NextBytes(request);
    const std::size_t asked = std::uint32_t{request[0]} | (std::uint32_t{request[1]} << 8) |
                              (std::uint32_t{request[2]} << 16) | (std::uint32_t{request[3]} << 24);
    const std::size_t n = std::min(asked, size - at);
    co_await SendPacket(Step::BlockStatus, "OK", true);
    if (faulted_ || silent_) co_return;
    co_await SendPacket(Step::BlockData,
                        std::string(reinterpret_cast<const char*>(content.data()) + at, n), true);
    if (faulted_ || silent_) co_return;
    if (co_await NextByte() != '+') co_return;  // the host's own '+' after each block
    at += n;
    if (n == 0) co_return;
  }
  const auto& sockets = settings_.socketStatus;
  co_await SendPacket(Step::SocketStatus,
                      std::string(reinterpret_cast<const char*>(sockets.data()), sockets.size()),
                      true);
  if (faulted_ || silent_) co_return;
  co_await SendPacket(Step::FinalVerdict, settings_.finalVerdict, false);
}

}  // namespace torv2::emulator
