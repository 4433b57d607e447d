#pragma once
// The held-bytes rows, shared by every transport they run over (the in-process transport on
// Linux, WinUSB over the simulated Windows): a device that still holds bytes from an exchange the
// host gave up on when the link opens again. The version query and the upgrade job both complete,
// with the same bytes on the wire as without them.

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "link/usb_link.h"
#include "tests/support/fake_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace torv2::held_bytes {

using namespace std::chrono_literals;

enum class Attempt { VersionQuery, Job };

struct HeldCase {
  const char* name;
  std::vector<std::string> held;  // device writes queued when the link opens
};

inline const HeldCase kHeldCases[] = {
    // The final verdict after a sub image that failed its comparison.
    {"FinalVerdict", {"$OK#9a"}},
    // A late acknowledgement, then a reply the host had given up on.
    {"LateAckThenReply", {"+", "$Ready.#23"}},
    // The first half of a version reply.
    {"HalfSentReply", {"$MainExe - TOR"}},
};

inline const Attempt kAttempts[] = {Attempt::VersionQuery, Attempt::Job};

using Param = std::tuple<Attempt, HeldCase>;

inline std::string CaseName(const ::testing::TestParamInfo<Param>& info) {
  return std::string(std::get<0>(info.param) == Attempt::Job ? "Job" : "VersionQuery") +
         std::get<1>(info.param).name;
}
inline void PrintTo(const HeldCase& c, std::ostream* os) {
  *os << c.name;
}
inline void PrintTo(Attempt a, std::ostream* os) {
  *os << (a == Attempt::Job ? "Job" : "VersionQuery");
}

struct Outcome {
  std::string hostBytes;
  std::vector<std::string> messages;
  int versionRead = 0;
  upgrade::JobResult job;
};

// One attempt against a device made afresh, which holds `held` whenever the link opens. `Bench`
// is constructed from `held` and has transport() (the link's link::UsbTransport&) and HostSent()
// (every byte the device took from the host).
template <class Bench>
Outcome Attempted(Attempt attempt, const std::vector<std::string>& held) {
  const std::vector<std::uint8_t> mainImage = testing::TestImage(9000, 1);
  const std::vector<std::uint8_t> subImage = testing::TestImage(1500, 2);
  Bench bench(held);
  link::UsbLink link(bench.transport(), {20ms, 20ms, 5ms});
  testing::FakeHost host;
  upgrade::Upgrader upgrader(link, host, upgrade::UpgraderTimings{1ms});
  upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                     {subImage.data(), static_cast<std::uint32_t>(subImage.size())});
  upgrader.SetDeviceUsable(true);
  Outcome out;
  if (attempt == Attempt::VersionQuery) {
    out.versionRead = upgrader.ReadDeviceVersion();
  } else {
    upgrader.StartJob();
    upgrader.WaitForJob();
    out.job = upgrader.LastJob();
  }
  out.messages = host.messages();
  out.hostBytes = bench.HostSent();
  return out;
}

template <class Bench>
void CheckHeldBytesAreNotTakenAsAnswers(const Param& param) {
  const auto& [attempt, c] = param;
  const Outcome clean = Attempted<Bench>(attempt, {});
  const Outcome held = Attempted<Bench>(attempt, c.held);

  EXPECT_EQ(held.messages, std::vector<std::string>{});
  if (attempt == Attempt::VersionQuery) {
    EXPECT_EQ(held.versionRead, 1);
  } else {
    EXPECT_EQ(held.job.outcome, upgrade::JobOutcome::Completed);
    EXPECT_EQ(held.job.mainOk, 1);
    EXPECT_EQ(held.job.subOk, 1);
  }
  EXPECT_EQ(held.hostBytes, clean.hostBytes) << "the wire exchange is the same";
}

}  // namespace torv2::held_bytes
