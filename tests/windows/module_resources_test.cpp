// The carried images as RT_RCDATA resources of the running executable, found with the Win32
// resource calls; the four failures and their messages; UTF-8 names and texts on the wide calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "upgrade/embedded_images.h"
#include "upgrade/module_resources.h"
#include "upgrade/win32/wide_text.h"

namespace torv2::upgrade {
namespace {

namespace fs = std::filesystem;

// A path of the build machine as this Windows sees it: under Wine the Unix root is drive Z:.
std::string HostPath(std::string path) {
  if (!path.empty() && path.front() == '/') path.insert(0, "Z:");
  return path;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(fs::u8path(HostPath(path)), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool InsideThisProgram(const void* data, std::size_t size) {
  const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const auto first = reinterpret_cast<std::uintptr_t>(data);
  return first >= base && first + size <= base + nt->OptionalHeader.SizeOfImage;
}

std::string ModulePath(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(GetModuleHandleW(name), path, MAX_PATH);
  return win32::Utf8FromWide(std::wstring_view(path, n));
}

TEST(ModuleResources, ExecutablePathNamesThisProgram) {
  const std::string path = ExecutablePath();
  EXPECT_TRUE(path.ends_with("test_windows_resources.exe")) << path;
}

TEST(ModuleResources, FindsBothImagesInsideTheRunningProgram) {
  struct Case {
    std::uint16_t id;
    const char* file;
  };
  for (const Case c : {Case{kMainImageResourceId, TORV2_CARRIED_MAIN_IMAGE},
                       Case{kSubImageResourceId, TORV2_CARRIED_SUB_IMAGE}}) {
    SCOPED_TRACE(c.id);
    const ResourceLookup lookup = FindModuleResource(ExecutablePath(), c.id, kRcDataResourceType);
    ASSERT_TRUE(std::holds_alternative<ResourceBytes>(lookup));
    const ResourceBytes bytes = std::get<ResourceBytes>(lookup);
    const std::vector<std::uint8_t> expected = ReadFile(c.file);
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(bytes.size, expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.data));
    // A view into the program image itself, never a copy.
    EXPECT_TRUE(InsideThisProgram(bytes.data, bytes.size));
    // The same pointer on every lookup.
    EXPECT_EQ(
        std::get<ResourceBytes>(FindModuleResource(ExecutablePath(), c.id, kRcDataResourceType))
            .data,
        bytes.data);
  }
}

struct FailureCase {
  const char* name;
  std::string path;
  std::uint16_t id;
  ResourceFailure expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class ModuleResourceFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ModuleResourceFailureTest, ReportsTheStepThatFailed) {
  const ResourceLookup lookup =
      FindModuleResource(GetParam().path, GetParam().id, kRcDataResourceType);
  ASSERT_TRUE(std::holds_alternative<ResourceFailure>(lookup));
  EXPECT_EQ(std::get<ResourceFailure>(lookup), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ModuleResourceFailureTest,
    ::testing::Values(
        FailureCase{"EmptyPath", "", 720, ResourceFailure::kOpenModule},
        FailureCase{"NoSuchFile", "C:\\no\\such\\module.exe", 720, ResourceFailure::kOpenModule},
        FailureCase{"NotUtf8", "C:\\\xFF\xFE.exe", 720, ResourceFailure::kOpenModule},
        FailureCase{"NotAModule", HostPath(TORV2_CARRIED_MAIN_IMAGE), 720,
                    ResourceFailure::kOpenModule},
        FailureCase{"NoSuchResourceHere", ExecutablePath(), 999, ResourceFailure::kFindResource},
        FailureCase{"LoadedModuleWithoutImages", ModulePath(L"kernel32.dll"), 720,
                    ResourceFailure::kFindResource},
        // Another program carrying the images, not loaded in this process: its bytes would go
        // away with the file, so none are handed out.
        FailureCase{"AnotherProgramNotLoadedHere", HostPath(TORV2_OTHER_CARRIER), 720,
                    ResourceFailure::kLoadResource},
        FailureCase{"AnotherProgramWithoutThatId", HostPath(TORV2_OTHER_CARRIER), 999,
                    ResourceFailure::kFindResource}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModuleResources, OpensAFileWhoseNameIsNotAscii) {
  // Found through the wide calls: the copy is opened (and refused only because it is not loaded
  // here), where the narrow calls would not find it under an ANSI code page.
  const fs::path folder = fs::temp_directory_path() / fs::u8path(u8"업그레이드 §");
  fs::create_directories(folder);
  const fs::path copy = folder / "carrier.exe";
  fs::copy_file(fs::u8path(HostPath(TORV2_OTHER_CARRIER)), copy,
                fs::copy_options::overwrite_existing);
  const std::string name = win32::Utf8FromWide(copy.wstring());
  const ResourceLookup lookup = FindModuleResource(name, 720, kRcDataResourceType);
  ASSERT_TRUE(std::holds_alternative<ResourceFailure>(lookup));
  EXPECT_EQ(std::get<ResourceFailure>(lookup), ResourceFailure::kLoadResource);
  fs::remove_all(folder);
}

// The shipped program's version resource shows the project's version, in both its numbers and its
// texts, as Explorer's file properties read them.
TEST(ModuleResources, ShippedProgramCarriesTheProjectVersion) {
  const std::wstring path = win32::WideFromUtf8(HostPath(TORV2_SHIPPED_PROGRAM));
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<std::uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(numbers, TORV2_PROJECT_VERSION ".0");
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  for (const wchar_t* name : {L"\\StringFileInfo\\040904b0\\FileVersion",
                              L"\\StringFileInfo\\040904b0\\ProductVersion"}) {
    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), name, reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(win32::Utf8FromWide(text), TORV2_PROJECT_VERSION ".0");
  }
}

TEST(EmbeddedImages, LoadMainImageReadsTheTitleAndVersion) {
  FirmwareImage image;
  VersionText version{};
  std::vector<std::string> messages;
  const std::string title = LoadMainImage(
      ExecutablePath(), image, version, [&](std::string_view text, std::string_view caption) {
        messages.push_back(std::string(caption) + ": " + std::string(text));
      });
  EXPECT_TRUE(image.loaded());
  EXPECT_EQ(title, "MainExe - TORV2 Execute V02.08");
  EXPECT_EQ(VersionTextView(version), "02.08");
  EXPECT_TRUE(messages.empty());
}

TEST(EmbeddedImages, EachFailureShowsItsMessage) {
  struct Case {
    std::string path;
    const char* message;
  };
  for (const Case& c : {Case{"C:\\no\\such.exe", "Error!: LoadLibrary Error!"},
                        Case{ModulePath(L"kernel32.dll"), "Error!: FindResource Error!"},
                        Case{HostPath(TORV2_OTHER_CARRIER), "Error!: LoadResource Error!"}}) {
    SCOPED_TRACE(c.path);
    FirmwareImage image;
    std::vector<std::string> messages;
    const std::string result =
        LoadSubImage(c.path, image, [&](std::string_view text, std::string_view caption) {
          messages.push_back(std::string(caption) + ": " + std::string(text));
        });
    EXPECT_EQ(result, "Err");
    EXPECT_FALSE(image.loaded());
    EXPECT_EQ(messages, std::vector<std::string>{c.message});
  }
}

TEST(WideText, ConvertsBothWays) {
  struct Case {
    std::string utf8;
    std::wstring wide;
  };
  for (const Case& c :
       {Case{"", L""}, Case{"Update", L"Update"},
        Case{"\xE3\x80\x80\xC2\xA7 USB UnConn \xC2\xA7", L"\u3000\u00A7 USB UnConn \u00A7"},
        Case{"\xEA\xB5\xB4\xEB\xA6\xBC", L"\uAD74\uB9BC"},
        Case{"\xF0\x9F\x94\x8C", L"\U0001F50C"}}) {
    EXPECT_EQ(win32::WideFromUtf8(c.utf8), c.wide);
    EXPECT_EQ(win32::ExactWideFromUtf8(c.utf8), c.wide);
    EXPECT_EQ(win32::Utf8FromWide(c.wide), c.utf8);
  }
}

TEST(WideText, BytesThatAreNotUtf8) {
  EXPECT_EQ(win32::WideFromUtf8("a\xFFz"), L"a\uFFFDz");        // shown as a replacement character
  EXPECT_EQ(win32::ExactWideFromUtf8("a\xFFz"), std::nullopt);  // never a name
}

}  // namespace
}  // namespace torv2::upgrade
