// Image transfer against a scripted device: what goes on the wire, the percentages, the results
// and the refusal flag.
#include "link/image_transfer.h"

#include <gtest/gtest.h>

#include <numeric>

#include "tests/support/recording_sink.h"
#include "tests/support/wire.h"

namespace torv2::link {
namespace {

using namespace std::chrono_literals;
using testing::DeviceSends;
using testing::Escaped;
using testing::HostSent;
using testing::HostWriteSizes;
using testing::Reply;
using V = std::vector<int>;

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>('a' + i % 26);
  return v;
}

std::string Le32(std::uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link_.OpenUsbLink()); }

  emulator::InProcessTransport device_;
  UsbLink link_{device_, LinkTimeouts{20ms, 20ms}};
  testing::RecordingSink sink_;
  bool subSocketError_ = false;
  TransferContext t_{link_, sink_, subSocketError_};
};

struct AnnounceCase {
  const char* name;
  std::vector<std::string> device;
  int result;
  bool subSocketError;
};

class Announce : public Transfer, public ::testing::WithParamInterface<AnnounceCase> {};

TEST_P(Announce, OnlyAnExactOkIsAccepted) {
  DeviceSends(device_, GetParam().device);
  EXPECT_EQ(AnnounceImageSize(t_, 217772), GetParam().result);
  EXPECT_EQ(subSocketError_, GetParam().subSocketError);
  EXPECT_EQ(HostSent(device_).substr(0, 8), std::string("\x00\x40\x01\x00", 4) + Le32(217772));
  EXPECT_TRUE(sink_.positions().empty()) << "no percentage for an announcement";
}

INSTANTIATE_TEST_SUITE_P(Transfer, Announce,
                         ::testing::Values(AnnounceCase{"Ok", {Reply("OK")}, 1, 0},
                                           AnnounceCase{"OkBlank", {Reply("OK ")}, 0, 1},
                                           AnnounceCase{"LowerCase", {Reply("ok")}, 0, 1},
                                           AnnounceCase{"Error", {Reply("Error")}, 0, 1},
                                           AnnounceCase{"EmptyReply", {Reply("")}, 0, 0},
                                           AnnounceCase{"NoReply", {}, 0, 0}),
                         [](const auto& info) { return info.param.name; });

const std::string kGoodAck = "+abcdefgh+";

struct DownloadCase {
  const char* name;
  std::size_t size;
  std::uint32_t chunk;
  std::vector<std::string> acks;
  int result;
  std::vector<std::size_t> writes;
  V positions;
  bool subSocketError;
};

class Download : public Transfer, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(Download, SendsChunksAndChecksEachAcknowledgement) {
  const DownloadCase& c = GetParam();
  DeviceSends(device_, c.acks);
  const auto data = Pattern(c.size);
  EXPECT_EQ(DownloadImage(t_, data, c.chunk), c.result);
  EXPECT_EQ(HostWriteSizes(device_), c.writes);
  EXPECT_EQ(sink_.positions(), c.positions);
  EXPECT_EQ(subSocketError_, c.subSocketError);
  const std::string sent = HostSent(device_);
  EXPECT_EQ(sent, std::string(data.begin(), data.begin() + static_cast<long>(sent.size())));
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, Download,
    ::testing::Values(DownloadCase{"TwentyInEights",
                                   20,
                                   8,
                                   {kGoodAck, kGoodAck, kGoodAck},
                                   1,
                                   {8, 8, 4},
                                   V{40, 80, 100, 100},
                                   0},
                      DownloadCase{"ThreeInEight", 3, 8, {kGoodAck}, 1, {3}, V{100, 100}, 0},
                      DownloadCase{"MiddleBytesNotExamined",
                                   3,
                                   8,
                                   {std::string("+\x00$#-+-\xff\x01+", 10)},
                                   1,
                                   {3},
                                   V{100, 100},
                                   0},
                      DownloadCase{
                          "MinusAtTheEnd", 20, 8, {kGoodAck, "+abcdefgh-"}, 0, {8, 8}, V{40, 0}, 1},
                      DownloadCase{"MinusAtTheStart", 20, 8, {"-abcdefgh+"}, 0, {8}, V{0}, 1},
                      DownloadCase{"SinglePlus", 20, 8, {"+"}, 0, {8}, V{0}, 1},
                      DownloadCase{"NoAcknowledgement", 20, 8, {kGoodAck}, 0, {8, 8}, V{40, 0}, 0},
                      DownloadCase{"SizeZero", 0, 8, {}, 0, {}, V{0}, 0}),
    [](const auto& info) { return info.param.name; });

struct ReadBackCase {
  const char* name;
  std::size_t size;
  std::vector<std::size_t> pieces;  // how the device cuts what it sends
  int result;
  std::string hostAnswers;
  V positions;
};

class ReadBack : public Transfer, public ::testing::WithParamInterface<ReadBackCase> {};

TEST_P(ReadBack, CollectsEachChunkWhateverItsPieces) {
  const ReadBackCase& c = GetParam();
  const auto image = Pattern(c.size + 16384);
  std::vector<std::string> writes;
  std::size_t at = 0;
  for (std::size_t piece : c.pieces) {
    writes.emplace_back(image.begin() + static_cast<long>(at),
                        image.begin() + static_cast<long>(at + piece));
    at += piece;
  }
  DeviceSends(device_, writes);
  std::vector<std::uint8_t> dest(c.size);  // exactly the image: nothing is written past it
  EXPECT_EQ(ReadBackImage(t_, dest), c.result);
  EXPECT_EQ(HostSent(device_), c.hostAnswers);
  EXPECT_EQ(sink_.positions(), c.positions);
  if (c.result) {
    EXPECT_TRUE(std::equal(dest.begin(), dest.end(), image.begin()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, ReadBack,
    ::testing::Values(
        ReadBackCase{"OneChunk", 8192, {8192}, 1, "+", V{100, 100}},
        ReadBackCase{"HalvesOfAChunk", 8192, {4096, 4096}, 1, "+", V{100, 100}},
        ReadBackCase{"TwoAndABit", 20000, {8192, 8192, 3616}, 1, "+++", V{40, 81, 100, 100}},
        ReadBackCase{"ExcessIsRefused", 16384, {4096, 8192}, 0, "-", V{}},
        ReadBackCase{"ShortLastChunkThenSilence", 9000, {8192, 500}, 0, "+", V{91, 0}},
        ReadBackCase{"SizeZero", 0, {}, 0, "", V{0}}),
    [](const auto& info) { return info.param.name; });

struct SubCase {
  const char* name;
  std::size_t size;
  // After the blocks: the statuses to send for each block, and the socket status.
  std::vector<std::string> statuses;
  std::vector<long> blockCut;  // bytes taken off each block's data (0 = intact)
  std::string sockets;
  int result;
  V positions;
  bool subSocketError;
};

class SubReadBack : public Transfer, public ::testing::WithParamInterface<SubCase> {};

TEST_P(SubReadBack, RequestsBlocksAndReturnsTheSocketStatus) {
  const SubCase& c = GetParam();
  const auto image = Pattern(c.size);
  std::vector<std::string> writes;
  std::string requests;
  std::size_t at = 0;
  for (std::size_t i = 0; i < c.statuses.size(); ++i) {
    const std::size_t b = std::min<std::size_t>(1000, c.size - at);
    requests += Le32(static_cast<std::uint32_t>(b));
    writes.push_back(Escaped(c.statuses[i]));
    const long cut = i < c.blockCut.size() ? c.blockCut[i] : 0;
    writes.push_back(Escaped(std::string(image.begin() + static_cast<long>(at),
                                         image.begin() + static_cast<long>(at + b) - cut)));
    at += b;
  }
  writes.push_back(Escaped(c.sockets));
  DeviceSends(device_, writes);

  std::vector<std::uint8_t> dest(c.size);
  SubSocketStatus status{};
  EXPECT_EQ(ReadBackSubImage(t_, status, dest), c.result);
  EXPECT_EQ(sink_.positions(), c.positions);
  EXPECT_EQ(subSocketError_, c.subSocketError);
  if (c.result) {
    EXPECT_TRUE(std::equal(dest.begin(), dest.end(), image.begin()));
    EXPECT_EQ(std::string(status.begin(), status.end()), c.sockets);
    // Block request, '+' for status and data, then our own '+', for each block; '+' at the end.
    std::string expect;
    for (std::size_t i = 0; i < requests.size(); i += 4) expect += requests.substr(i, 4) + "+++";
    EXPECT_EQ(HostSent(device_), expect + "+");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, SubReadBack,
    ::testing::Values(
        SubCase{"ThreeBlocks", 2500, {"OK", "OK", "OK"}, {}, "UUUUUUUU", 1, V{40, 80, 100, 100}, 0},
        SubCase{
            "ErrorStatusKeepsThePercentage", 2500, {"OK", "Error"}, {}, "UUUUUUUU", 0, V{40}, 1},
        SubCase{"OkWithBlankIsARefusal", 2500, {"OK "}, {}, "UUUUUUUU", 0, V{}, 1},
        SubCase{"ShortBlock", 2500, {"OK", "OK"}, {0, 1}, "UUUUUUUU", 0, V{40}, 0},
        SubCase{"SevenSocketBytes", 2500, {"OK", "OK", "OK"}, {}, "UUUUUUU", 0, V{40, 80, 100}, 0},
        SubCase{"NineSocketBytes", 2500, {"OK", "OK", "OK"}, {}, "UUUUUUUUU", 0, V{40, 80, 100}, 0},
        SubCase{"SizeZero", 0, {"OK"}, {}, "UUUUUUUU", 0, V{}, 0}),
    [](const auto& info) { return info.param.name; });

TEST_F(Transfer, FourHashesInABlockEndItsPacketEarly) {
  std::string block(1000, 'x');
  block.replace(500, 4, "####");
  DeviceSends(device_, {Escaped("OK"), Escaped(block), Escaped("UUUUUUUU")});
  std::vector<std::uint8_t> dest(1000);
  SubSocketStatus status{};
  EXPECT_FALSE(ReadBackSubImage(t_, status, dest));
}

TEST_F(Transfer, NothingMovesOnAClosedLink) {
  link_.CloseUsbLink();
  std::vector<std::uint8_t> data(100, 1);
  SubSocketStatus status{};
  EXPECT_FALSE(AnnounceImageSize(t_, 100));
  EXPECT_FALSE(DownloadImage(t_, data, 8));
  EXPECT_FALSE(ReadBackImage(t_, data));
  EXPECT_FALSE(ReadBackSubImage(t_, status, data));
  EXPECT_EQ(HostSent(device_), "");
  EXPECT_FALSE(subSocketError_);
}

}  // namespace
}  // namespace torv2::link
