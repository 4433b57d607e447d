// The Microsoft OS descriptor parsers: what they find in well-formed descriptors, and that any
// length that disagrees with the bytes that arrived gives nothing (and never a read past them).
#include "link/libusb/ms_os_descriptors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace torv2::link::msos {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Guid kGuid = DeviceInterfaceGuid;
constexpr std::string_view kGuidText = "{B91D9E33-6927-4B4D-A40D-484C312B8C26}";
const Guid kOtherGuid = *Guid::Parse("01234567-89AB-CDEF-0123-456789ABCDEF");

// --- byte builders ---

void Put16(Bytes& b, std::size_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::size_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, (v >> 16) & 0xFFFF);
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// ASCII text as UTF-16LE with a NUL at the end.
Bytes Utf16(std::string_view text) {
  Bytes b;
  for (const char c : text) Put16(b, static_cast<unsigned char>(c));
  Put16(b, 0);
  return b;
}
// Strings of a REG_MULTI_SZ, each NUL-terminated, and the final empty string.
Bytes MultiSz(std::initializer_list<std::string_view> strings) {
  Bytes b;
  for (const auto s : strings) b = Cat({b, Utf16(s)});
  Put16(b, 0);
  return b;
}

// BOS descriptor around the given device capabilities.
Bytes Bos(std::initializer_list<Bytes> caps) {
  const Bytes body = Cat(caps);
  Bytes b{5, 0x0F};
  Put16(b, 5 + body.size());
  b.push_back(static_cast<std::uint8_t>(caps.size()));
  return Cat({b, body});
}
struct Entry {
  std::uint32_t windows;
  std::uint16_t total;
  std::uint8_t vendor;
  std::uint8_t alt = 0;
};
Bytes MsOs20Capability(std::initializer_list<Entry> entries,
                       const Guid& uuid = kMsOs20PlatformUuid) {
  Bytes b{static_cast<std::uint8_t>(20 + 8 * entries.size()), 0x10, 0x05, 0x00};
  const auto u = uuid.Bytes();
  b.insert(b.end(), u.begin(), u.end());
  for (const Entry& e : entries) {
    Put32(b, e.windows);
    Put16(b, e.total);
    b.push_back(e.vendor);
    b.push_back(e.alt);
  }
  return b;
}
const Bytes kUsb20Extension{7, 0x10, 0x02, 0x02, 0x00, 0x00, 0x00};

// MS OS 2.0 descriptor set pieces.
Bytes SetHeader(std::initializer_list<Bytes> body) {
  const Bytes content = Cat(body);
  Bytes b;
  Put16(b, 10);
  Put16(b, 0x00);
  Put32(b, 0x06030000);
  Put16(b, 10 + content.size());
  return Cat({b, content});
}
Bytes ConfigSubset(std::uint8_t index, std::initializer_list<Bytes> body) {
  const Bytes content = Cat(body);
  Bytes b;
  Put16(b, 8);
  Put16(b, 0x01);
  b.push_back(index);
  b.push_back(0);
  Put16(b, 8 + content.size());
  return Cat({b, content});
}
Bytes FunctionSubset(std::uint8_t firstInterface, std::initializer_list<Bytes> body) {
  const Bytes content = Cat(body);
  Bytes b;
  Put16(b, 8);
  Put16(b, 0x02);
  b.push_back(firstInterface);
  b.push_back(0);
  Put16(b, 8 + content.size());
  return Cat({b, content});
}
Bytes CompatibleId() {
  Bytes b;
  Put16(b, 20);
  Put16(b, 0x03);
  for (const char c : std::string_view("WINUSB\0\0", 8)) b.push_back(static_cast<std::uint8_t>(c));
  b.insert(b.end(), 8, 0);
  return b;
}
Bytes RegProperty20(std::uint16_t type, std::string_view name, const Bytes& data) {
  const Bytes n = Utf16(name);
  Bytes b;
  Put16(b, 10 + n.size() + data.size());
  Put16(b, 0x04);
  Put16(b, type);
  Put16(b, n.size());
  b = Cat({b, n});
  Put16(b, data.size());
  return Cat({b, data});
}
Bytes Guids20(std::initializer_list<std::string_view> guids) {
  return RegProperty20(7, "DeviceInterfaceGUIDs", MultiSz(guids));
}

// MS OS 1.0 extended properties.
Bytes Section10(std::uint32_t type, std::string_view name, const Bytes& data) {
  const Bytes n = Utf16(name);
  Bytes b;
  Put32(b, 14 + n.size() + data.size());
  Put32(b, type);
  Put16(b, n.size());
  b = Cat({b, n});
  Put32(b, data.size());
  return Cat({b, data});
}
Bytes ExtendedProperties(std::initializer_list<Bytes> sections) {
  const Bytes body = Cat(sections);
  Bytes b;
  Put32(b, 10 + body.size());
  Put16(b, 0x0100);
  Put16(b, 5);
  Put16(b, sections.size());
  return Cat({b, body});
}

Bytes MsftString(std::uint8_t vendorCode) {
  Bytes b{0x12, 0x03};
  for (const char c : std::string_view("MSFT100")) Put16(b, static_cast<unsigned char>(c));
  b.push_back(vendorCode);
  b.push_back(0);
  return b;
}

// Writes `v` little-endian at `at`, for breaking one field of a good descriptor.
Bytes With16(Bytes b, std::size_t at, std::size_t v) {
  b.at(at) = static_cast<std::uint8_t>(v);
  b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
  return b;
}
Bytes With32(Bytes b, std::size_t at, std::size_t v) {
  b = With16(std::move(b), at, v & 0xFFFF);
  return With16(std::move(b), at + 2, (v >> 16) & 0xFFFF);
}

// --- the MS OS 2.0 platform capability ---

struct BosCase {
  const char* name;
  Bytes bos;
  std::optional<MsOs20SetInfo> expected;
};

class BosParsing : public ::testing::TestWithParam<BosCase> {};

TEST_P(BosParsing, FindsTheEntryForTheNewestWindows) {
  EXPECT_EQ(FindMsOs20SetInfo(GetParam().bos), GetParam().expected);
}

const Bytes kGoodBos = Bos({kUsb20Extension, MsOs20Capability({{0x06030000, 0x9E, 0x20}})});

INSTANTIATE_TEST_SUITE_P(
    Cases, BosParsing,
    ::testing::Values(
        BosCase{"AfterAnotherCapability", kGoodBos, MsOs20SetInfo{0x06030000, 0x9E, 0x20, 0}},
        BosCase{"HighestVersionWinsInAnyOrder",
                Bos({MsOs20Capability({{0x0A000000, 0x40, 0x02, 1},
                                       {0x06030000, 0x30, 0x01},
                                       {0x0A000001, 0x50, 0x03}})}),
                MsOs20SetInfo{0x0A000001, 0x50, 0x03, 0}},
        BosCase{"OlderThanWindows81Ignored",
                Bos({MsOs20Capability({{0x06020000, 0x30, 0x01}, {0x06030000, 0x40, 0x02}})}),
                MsOs20SetInfo{0x06030000, 0x40, 0x02, 0}},
        BosCase{"OnlyOlderThanWindows81", Bos({MsOs20Capability({{0x06020000, 0x30, 0x01}})}),
                std::nullopt},
        BosCase{"SetShorterThanItsHeader", Bos({MsOs20Capability({{0x06030000, 9, 0x01}})}),
                std::nullopt},
        BosCase{"OtherPlatformUuid",
                Bos({MsOs20Capability({{0x06030000, 0x30, 0x01}}, kOtherGuid)}), std::nullopt},
        BosCase{"NoPlatformCapability", Bos({kUsb20Extension}), std::nullopt},
        BosCase{"SecondMsOs20CapabilityAfterABadOne",
                Bos({MsOs20Capability({{0x06020000, 0x30, 0x01}}),
                     MsOs20Capability({{0x06030000, 0x40, 0x07}})}),
                MsOs20SetInfo{0x06030000, 0x40, 0x07, 0}},
        BosCase{"CountAboveWhatIsThereStopsAtTheEnd",
                [] {
                  Bytes b = kGoodBos;
                  b[4] = 5;  // bNumDeviceCaps
                  return b;
                }(),
                MsOs20SetInfo{0x06030000, 0x9E, 0x20, 0}},
        // Lengths that disagree with the bytes.
        BosCase{"TotalLengthBeyondTheBytes", With16(kGoodBos, 2, kGoodBos.size() + 1),
                std::nullopt},
        BosCase{"TotalLengthCutsTheCapability", With16(kGoodBos, 2, kGoodBos.size() - 1),
                std::nullopt},
        BosCase{"CapabilityLengthZero",
                [] {
                  Bytes b = kGoodBos;
                  b[5] = 0;  // bLength of the first capability
                  return b;
                }(),
                std::nullopt},
        BosCase{"CapabilityLengthBeyondTotal",
                [] {
                  Bytes b = kGoodBos;
                  b[12] = 29;  // the MS OS 2.0 capability claims one byte more than there is
                  return b;
                }(),
                std::nullopt},
        BosCase{"CapabilityLengthNotWholeEntries",
                [] {
                  Bytes b = Cat({kGoodBos, {0}});
                  b[12] = 29;
                  b[2] = static_cast<std::uint8_t>(b.size());
                  return b;
                }(),
                std::nullopt},
        BosCase{"CapabilityWithoutEntries", Bos({MsOs20Capability({})}), std::nullopt},
        BosCase{"HeaderLengthBelowFive", With16(kGoodBos, 0, 0x0F04), std::nullopt},
        BosCase{"NotABos", With16(kGoodBos, 0, 0x0205), std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MsOs20PlatformCapability, ReadsOneCapabilityAsLibusbHandsItOver) {
  const Bytes cap = MsOs20Capability({{0x06030000, 0xB2, 0x21, 0x04}});
  EXPECT_EQ(ParseMsOs20PlatformCapability(cap), (MsOs20SetInfo{0x06030000, 0xB2, 0x21, 0x04}));
  EXPECT_EQ(ParseMsOs20PlatformCapability(kUsb20Extension), std::nullopt);
}

// --- the MS OS 2.0 descriptor set ---

struct SetCase {
  const char* name;
  Bytes set;
  std::vector<InterfaceGuid> expected;
};

class DescriptorSetParsing : public ::testing::TestWithParam<SetCase> {};

TEST_P(DescriptorSetParsing, FindsTheGuidsAndTheirInterfaces) {
  EXPECT_EQ(ParseMsOs20DescriptorSet(GetParam().set), GetParam().expected);
}

// The usual set of a single-interface WinUSB device.
const Bytes kPlainSet = SetHeader({CompatibleId(), Guids20({kGuidText})});
// A composite device: the programmer's GUID on its second function.
const Bytes kCompositeSet = SetHeader({ConfigSubset(
    0, {FunctionSubset(0, {CompatibleId(), Guids20({"{01234567-89AB-CDEF-0123-456789ABCDEF}"})}),
        FunctionSubset(2, {CompatibleId(), Guids20({kGuidText})})})});

INSTANTIATE_TEST_SUITE_P(
    Found, DescriptorSetParsing,
    ::testing::Values(
        SetCase{"NoSubsetsMeansInterfaceZero", kPlainSet, {{std::nullopt, 0, kGuid}}},
        SetCase{"FunctionSubsetsGiveTheirFirstInterface",
                kCompositeSet,
                {{0, 0, kOtherGuid}, {0, 2, kGuid}}},
        SetCase{"ConfigurationWithoutFunctionMeansInterfaceZero",
                SetHeader({ConfigSubset(1, {Guids20({kGuidText})})}),
                {{1, 0, kGuid}}},
        SetCase{"FeatureAfterAFunctionSubsetIsBackAtInterfaceZero",
                SetHeader({ConfigSubset(0, {FunctionSubset(3, {CompatibleId()}),
                                            Guids20({kGuidText})})}),
                {{0, 0, kGuid}}},
        SetCase{"SingleGuidAsRegSz",
                SetHeader({RegProperty20(1, "DeviceInterfaceGUID", Utf16(kGuidText))}),
                {{std::nullopt, 0, kGuid}}},
        SetCase{"LowerCaseWithoutBracesAndNameInAnyCase",
                SetHeader({RegProperty20(7, "deviceinterfaceguids",
                                         MultiSz({"b91d9e33-6927-4b4d-a40d-484c312b8c26"}))}),
                {{std::nullopt, 0, kGuid}}},
        SetCase{"SeveralGuidsAndNonGuidsSkipped",
                SetHeader({Guids20({"not a guid", kGuidText,
                                    "{01234567-89AB-CDEF-0123-456789ABCDEF}"})}),
                {{std::nullopt, 0, kGuid}, {std::nullopt, 0, kOtherGuid}}},
        SetCase{"MultiSzWithoutFinalTerminator",
                SetHeader({RegProperty20(7, "DeviceInterfaceGUIDs", Utf16(kGuidText))}),
                {{std::nullopt, 0, kGuid}}},
        SetCase{"TrailingBytesAfterTheSetIgnored",
                Cat({kPlainSet, {0xFF, 0xFF, 0xFF}}),
                {{std::nullopt, 0, kGuid}}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    NotFound, DescriptorSetParsing,
    ::testing::Values(
        SetCase{"PluralNameAsRegSz",
                SetHeader({RegProperty20(1, "DeviceInterfaceGUIDs", Utf16(kGuidText))}),
                {}},
        SetCase{"SingularNameAsMultiSz",
                SetHeader({RegProperty20(7, "DeviceInterfaceGUID", MultiSz({kGuidText}))}),
                {}},
        SetCase{"OtherProperty",
                SetHeader({RegProperty20(7, "DeviceInterfaceGUIDsX", MultiSz({kGuidText}))}),
                {}},
        SetCase{"EmptyMultiSz", SetHeader({RegProperty20(7, "DeviceInterfaceGUIDs", {0, 0})}), {}},
        SetCase{"NoProperty", SetHeader({CompatibleId()}), {}},
        // Lengths that disagree with the bytes: nothing at all, even GUIDs seen before.
        SetCase{"TotalLengthBeyondTheBytes", With16(kPlainSet, 8, kPlainSet.size() + 1), {}},
        SetCase{"TotalLengthCutsAFeature", With16(kPlainSet, 8, kPlainSet.size() - 1), {}},
        SetCase{"HeaderLengthWrong", With16(kPlainSet, 0, 12), {}},
        SetCase{"NotASetHeader", With16(kPlainSet, 2, 1), {}},
        SetCase{"FeatureLengthZero", With16(kPlainSet, 10, 0), {}},
        SetCase{"FeatureLengthBelowItsHeader", With16(kPlainSet, 10, 3), {}},
        SetCase{"FeatureLengthBeyondTheSet", With16(kPlainSet, 30, 0xFFFF), {}},
        SetCase{"PropertyNameLengthBeyondTheFeature", With16(kPlainSet, 36, 0xFFF0), {}},
        SetCase{"PropertyDataLengthBeyondTheFeature", With16(kPlainSet, 30 + 8 + 42, 80 + 2), {}},
        SetCase{"PropertyTooShortForItsFields", SetHeader({Bytes{8, 0, 4, 0, 7, 0, 0, 0}}), {}},
        SetCase{"ConfigurationLengthBeyondTheSet",
                With16(kCompositeSet, 10 + 6, kCompositeSet.size()),
                {}},
        SetCase{"ConfigurationLengthBelowItsHeader", With16(kCompositeSet, 10 + 6, 7), {}},
        SetCase{"FunctionLengthBeyondItsConfiguration",
                With16(kCompositeSet, 18 + 6, kCompositeSet.size() - 18 + 1),
                {}},
        SetCase{
            "FeatureCrossesTheEndOfItsFunction", With16(kCompositeSet, 18 + 6, 8 + 20 + 10), {}},
        SetCase{"ConfigurationInsideAConfiguration",
                SetHeader({ConfigSubset(0, {ConfigSubset(0, {Guids20({kGuidText})})})}),
                {}},
        SetCase{"FunctionInsideAFunction",
                SetHeader({FunctionSubset(0, {FunctionSubset(1, {Guids20({kGuidText})})})}),
                {}},
        SetCase{"SecondSetHeader", SetHeader({Guids20({kGuidText}), SetHeader({})}), {}},
        SetCase{"MalformedAfterAGoodGuid",
                SetHeader({Guids20({kGuidText}), Bytes{4, 0, 0x09, 0, 0xAA}}),
                {}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- MS OS 1.0 ---

TEST(MsOs10String, GivesTheVendorCodeOfAGoodSignatureOnly) {
  EXPECT_EQ(ParseMsOs10StringDescriptor(MsftString(0x42)), 0x42);
  EXPECT_EQ(ParseMsOs10StringDescriptor(Cat({MsftString(0x42), {0, 0}})), 0x42);
  Bytes wrongLetter = MsftString(0x42);
  wrongLetter[8] = 'U';
  Bytes notString = MsftString(0x42);
  notString[1] = 0x02;
  Bytes lengthShort = MsftString(0x42);
  lengthShort[0] = 17;
  Bytes lengthLong = MsftString(0x42);
  lengthLong[0] = 19;
  for (const Bytes& bad : {wrongLetter, notString, lengthShort, lengthLong}) {
    EXPECT_EQ(ParseMsOs10StringDescriptor(bad), std::nullopt);
  }
}

struct PropertiesCase {
  const char* name;
  Bytes desc;
  std::vector<Guid> expected;
};

class ExtendedPropertiesParsing : public ::testing::TestWithParam<PropertiesCase> {};

TEST_P(ExtendedPropertiesParsing, FindsTheGuids) {
  EXPECT_EQ(ParseMsOs10ExtendedProperties(GetParam().desc), GetParam().expected);
}

const Bytes kGoodProperties = ExtendedProperties(
    {Section10(4, "Label", {1, 0, 0, 0}), Section10(1, "DeviceInterfaceGUID", Utf16(kGuidText))});
// Offsets into kGoodProperties' second section.
constexpr std::size_t kSecond = 10 + 14 + 12 + 4;

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtendedPropertiesParsing,
    ::testing::Values(
        PropertiesCase{"RegSzAfterAnotherSection", kGoodProperties, {kGuid}},
        PropertiesCase{
            "MultiSz",
            ExtendedProperties({Section10(7, "DeviceInterfaceGUIDs", MultiSz({kGuidText, "x"}))}),
            {kGuid}},
        PropertiesCase{"NoSections", ExtendedProperties({}), {}},
        PropertiesCase{"WrongType",
                       ExtendedProperties({Section10(2, "DeviceInterfaceGUID", Utf16(kGuidText))}),
                       {}},
        PropertiesCase{"WrongVersion", With16(kGoodProperties, 4, 0x0200), {}},
        PropertiesCase{"WrongIndex", With16(kGoodProperties, 6, 4), {}},
        PropertiesCase{
            "LengthBeyondTheBytes", With32(kGoodProperties, 0, kGoodProperties.size() + 1), {}},
        PropertiesCase{
            "LengthCutsASection", With32(kGoodProperties, 0, kGoodProperties.size() - 1), {}},
        PropertiesCase{"CountAboveWhatIsThere", With16(kGoodProperties, 8, 3), {}},
        PropertiesCase{"SectionSizeZero", With32(kGoodProperties, kSecond, 0), {}},
        PropertiesCase{
            "SectionSizeBeyondTheDescriptor", With32(kGoodProperties, kSecond, 0xFFFFFFFF), {}},
        PropertiesCase{
            "NameLengthBeyondTheSection", With16(kGoodProperties, kSecond + 8, 0xFFFF), {}},
        PropertiesCase{"DataLengthBeyondTheSection",
                       With32(kGoodProperties, kSecond + 10 + 40, 0x80000000),
                       {}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- every parser against truncation and damage ---

struct Parser {
  const char* name;
  Bytes good;
  std::function<bool(std::span<const std::uint8_t>)> finds;  // true when it gives an answer
};

std::vector<Parser> Parsers() {
  return {
      {"Bos", kGoodBos, [](auto b) { return FindMsOs20SetInfo(b).has_value(); }},
      {"Set", kCompositeSet, [](auto b) { return !ParseMsOs20DescriptorSet(b).empty(); }},
      {"String", MsftString(1), [](auto b) { return ParseMsOs10StringDescriptor(b).has_value(); }},
      {"Properties", kGoodProperties,
       [](auto b) { return !ParseMsOs10ExtendedProperties(b).empty(); }},
  };
}

TEST(MsOsDescriptors, EveryTruncationGivesNothing) {
  for (const Parser& p : Parsers()) {
    ASSERT_TRUE(p.finds(p.good)) << p.name;
    for (std::size_t n = 0; n < p.good.size(); ++n) {
      // A copy of exactly n bytes, so that the sanitizers see any read past them.
      const Bytes cut(p.good.begin(), p.good.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_FALSE(p.finds(cut)) << p.name << " cut to " << n;
    }
  }
}

TEST(MsOsDescriptors, DamagedBytesNeverReadPastTheBuffer) {
  // Each byte set to values that stretch lengths and counts; the sanitizers catch a stray read.
  for (const Parser& p : Parsers()) {
    for (std::size_t i = 0; i < p.good.size(); ++i) {
      for (const std::uint8_t v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
        Bytes damaged = p.good;
        damaged[i] = v;
        p.finds(damaged);
      }
    }
  }
}

// --- string descriptors ---

TEST(StringDescriptor, DecodesUtf16AndChecksItsLength) {
  const auto text = [](Bytes body) {
    Bytes d{static_cast<std::uint8_t>(2 + body.size()), 0x03};
    return ParseStringDescriptor(Cat({d, body}));
  };
  EXPECT_EQ(text({'T', 0, 'V', 0, '2', 0}), "TV2");
  EXPECT_EQ(text({0xE9, 0x00}), "\xC3\xA9");                      // é
  EXPECT_EQ(text({0x3D, 0xD8, 0x00, 0xDE}), "\xF0\x9F\x98\x80");  // a surrogate pair
  EXPECT_EQ(text({0x3D, 0xD8, 'A', 0}),
            "\xEF\xBF\xBD"
            "A");                       // a lone surrogate
  EXPECT_EQ(text({'A', 0, 'B'}), "A");  // an odd byte is no unit
  EXPECT_EQ(text({}), "");
  EXPECT_EQ(ParseStringDescriptor(Bytes{6, 0x03, 'A', 0}), std::nullopt);  // longer than arrived
  EXPECT_EQ(ParseStringDescriptor(Bytes{4, 0x02, 'A', 0}), std::nullopt);  // not a string
  EXPECT_EQ(ParseStringDescriptor(Bytes{1, 0x03}), std::nullopt);
}

}  // namespace
}  // namespace torv2::link::msos
