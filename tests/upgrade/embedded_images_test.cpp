// The carried images, found through the executable's own file and handed out as pointers into the
// running image; and every way that lookup can fail.

#include "upgrade/embedded_images.h"

#include <elf.h>
#include <link.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "upgrade/elf/elf_file.h"
#include "upgrade/elf/resource_directory.h"
#include "upgrade/image_rules.h"
#include "upgrade/module_resources.h"

// The carried images as the linker placed them in this executable.
extern "C" __attribute__((visibility("hidden"))) const std::uint8_t torv2_resource_720[];
extern "C" __attribute__((visibility("hidden"))) const std::uint8_t torv2_resource_730[];

namespace torv2::upgrade {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing::HasSubstr;

constexpr std::string_view kPlaceholderTitle = "MainExe - TORV2 Execute V02.08";

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Message {
  std::string text;
  std::string caption;
  bool operator==(const Message&) const = default;
};

// Collects what the loaders show.
struct Messages {
  std::vector<Message> shown;
  MessageSink sink() {
    return [this](std::string_view text, std::string_view caption) {
      shown.push_back({std::string(text), std::string(caption)});
    };
  }
};

// A fresh directory under the system's temporary directory, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("torv2_upgrade_test_" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The mapping of this process that holds [begin, end), from /proc/self/maps.
struct Mapping {
  std::string permissions;
  std::string path;
};
std::optional<Mapping> MappingOf(const void* begin, std::size_t size) {
  const auto first = reinterpret_cast<std::uintptr_t>(begin);
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::string range, permissions, offset, device, inode, path;
    fields >> range >> permissions >> offset >> device >> inode >> path;
    const auto dash = range.find('-');
    const auto low = std::stoull(range.substr(0, dash), nullptr, 16);
    const auto high = std::stoull(range.substr(dash + 1), nullptr, 16);
    if (first >= low && first + size <= high) return Mapping{permissions, path};
  }
  return std::nullopt;
}

TEST(CarriedImages, MainImageIsReadInPlaceFromTheRunningExecutable) {
  const std::string exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(fs::equivalent(exe, "/proc/self/exe"));

  Messages messages;
  FirmwareImage image;
  VersionText versionText{};
  const std::string title = LoadMainImage(exe, image, versionText, messages.sink());
  EXPECT_EQ(messages.shown, std::vector<Message>{});
  ASSERT_TRUE(image.loaded());

  const Bytes carried = ReadFile(TORV2_CARRIED_MAIN_IMAGE);
  ASSERT_EQ(image.size, carried.size());
  EXPECT_EQ(image.data, torv2_resource_720) << "a pointer into the linked image, not a copy";
  EXPECT_TRUE(std::equal(carried.begin(), carried.end(), image.data));
  const auto mapping = MappingOf(image.data, image.size);
  ASSERT_TRUE(mapping);
  EXPECT_EQ(mapping->path, exe);
  EXPECT_EQ(mapping->permissions.substr(0, 2), "r-") << "the image must be read-only";

  EXPECT_EQ(title, ImageTitle(carried));
  EXPECT_EQ(VersionTextView(versionText), VersionTextView(VersionTextFromTitle(title)));
  EXPECT_TRUE(AcceptCarriedVersion(VersionTextView(versionText)).has_value());
}

TEST(CarriedImages, SubImageIsReadInPlaceFromTheRunningExecutable) {
  Messages messages;
  FirmwareImage image;
  EXPECT_EQ(LoadSubImage(ExecutablePath(), image, messages.sink()), "");
  EXPECT_EQ(messages.shown, std::vector<Message>{});
  ASSERT_TRUE(image.loaded());
  const Bytes carried = ReadFile(TORV2_CARRIED_SUB_IMAGE);
  ASSERT_EQ(image.size, carried.size());
  EXPECT_EQ(image.data, torv2_resource_730);
  EXPECT_TRUE(std::equal(carried.begin(), carried.end(), image.data));
  EXPECT_EQ(CheckSubImage(std::span(image.data, image.size)), std::vector<std::string>{});
}

TEST(CarriedImages, PlaceholdersHaveTheirSizesTitleAndVersion) {
  if (!TORV2_PLACEHOLDER_IMAGES) GTEST_SKIP() << "the build carries images of its own";
  FirmwareImage main, sub;
  VersionText versionText{};
  EXPECT_EQ(LoadMainImage(ExecutablePath(), main, versionText, {}), kPlaceholderTitle);
  EXPECT_EQ(main.size, 217'772u);
  EXPECT_EQ(VersionTextView(versionText), "02.08");
  EXPECT_EQ(AcceptCarriedVersion(VersionTextView(versionText)), 2.08);
  EXPECT_EQ(UpgradeVersionLine(*AcceptCarriedVersion(VersionTextView(versionText))),
            "Upgrade Version : 2.08");

  EXPECT_EQ(LoadSubImage(ExecutablePath(), sub, {}), "");
  EXPECT_EQ(sub.size, 61'172u);
  // The sub placeholder carries runs of '#' so that transfers exercise the escaping.
  const std::string_view marks = "A#B##C###D";
  EXPECT_TRUE(std::search(sub.data, sub.data + sub.size, marks.begin(), marks.end()) !=
              sub.data + sub.size);
}

TEST(CarriedImages, AnyPathToTheRunningFileWillDo) {
  TempDir dir;
  const fs::path hardLink = fs::path(ExecutablePath()).parent_path() /
                            ("test_upgrade_link_" + dir.path().filename().string());
  std::error_code error;
  fs::create_hard_link(ExecutablePath(), hardLink, error);
  for (const std::string& path : {std::string("/proc/self/exe"), hardLink.string()}) {
    if (path == hardLink.string() && error) continue;  // no hard links on this file system
    Messages messages;
    FirmwareImage image;
    VersionText versionText{};
    LoadMainImage(path, image, versionText, messages.sink());
    EXPECT_EQ(messages.shown, std::vector<Message>{}) << path;
    EXPECT_EQ(image.data, torv2_resource_720) << path;
  }
  fs::remove(hardLink, error);
}

// A failed load shows exactly one message with the caption "Error!" and loads nothing.
void ExpectFailedLoads(const std::string& modulePath, std::string_view mainMessage,
                       std::string_view subMessage, const std::string& name) {
  Messages messages;
  FirmwareImage image{torv2_resource_720, 1};  // a failed load must clear a stale view
  VersionText versionText = VersionTextFromTitle("stale");
  EXPECT_EQ(LoadMainImage(modulePath, image, versionText, messages.sink()), "Err") << name;
  EXPECT_EQ(image.data, nullptr) << name;
  EXPECT_EQ(image.size, 0u) << name;
  EXPECT_EQ(VersionTextView(versionText), "") << name;
  EXPECT_EQ(LoadSubImage(modulePath, image, messages.sink()), "Err") << name;
  EXPECT_EQ(image.data, nullptr) << name;
  const std::vector<Message> expected = {{std::string(mainMessage), "Error!"},
                                         {std::string(subMessage), "Error!"}};
  EXPECT_EQ(messages.shown, expected) << name;
}

TEST(CarriedImages, FailuresNameTheStepThatFailed) {
  TempDir dir;
  const fs::path text = dir.path() / "notes.txt";
  std::ofstream(text) << "not an executable\n";
  const fs::path copy = dir.path() / "copy_of_test_upgrade";
  fs::copy_file(ExecutablePath(), copy);

  struct Case {
    std::string name;
    std::string path;
    std::string_view message;
  };
  std::vector<Case> cases = {
      {"no such file", "/nonexistent/zarn_torv2_upgrader", "LoadLibrary Error!"},
      {"empty path", "", "LoadLibrary Error!"},
      {"a directory", "/", "LoadLibrary Error!"},
      {"a text file", text.string(), "LoadLibrary Error!"},
      {"an executable without images", TORV2_PROBE_PLAIN, "FindResource Error!"},
      {"another executable with images, not running here", TORV2_PROBE_CARRYING,
       "LoadResource Error!"},
      {"a copy of this executable", copy.string(), "LoadResource Error!"},
  };
  if (fs::exists("/bin/true")) cases.push_back({"/bin/true", "/bin/true", "FindResource Error!"});
  for (const auto& c : cases) ExpectFailedLoads(c.path, c.message, c.message, c.name);
}

// Only a file that cannot be opened gets a reason in words; the running program is found through
// the kernel's link to it and named by its path.
TEST(CarriedImages, AFileThatCannotBeOpenedIsNamedWithTheReason) {
  EXPECT_EQ(ModuleReadProblem("/nonexistent/zarn_torv2_upgrader"),
            "cannot read /nonexistent/zarn_torv2_upgrader: No such file or directory");
  EXPECT_EQ(ModuleReadProblem(""), "no program file to read");
  EXPECT_EQ(ModuleReadProblem(RunningExecutable()), "");
  EXPECT_EQ(ModuleReadProblem(TORV2_PROBE_PLAIN), "") << "it opens; its images are missing";

  const CarriedImages missing = LoadCarriedImages("/nonexistent/zarn_torv2_upgrader", {});
  EXPECT_FALSE(missing.main.loaded());
  EXPECT_EQ(missing.problem,
            "cannot read /nonexistent/zarn_torv2_upgrader: No such file or directory");
  const CarriedImages plain = LoadCarriedImages(TORV2_PROBE_PLAIN, {});
  EXPECT_FALSE(plain.main.loaded());
  EXPECT_EQ(plain.problem, "");
  const CarriedImages self = LoadCarriedImages(RunningExecutable(), {});
  EXPECT_TRUE(self.main.loaded() && self.sub.loaded());
  EXPECT_EQ(self.problem, "");
}

// Where things sit in an ELF file, for damaging a copy on purpose.
struct Layout {
  ElfW(Ehdr) header{};
  std::uint64_t directory = 0;  // file offset of the resource directory
  std::uint64_t size = 0;
};

Layout LayoutOf(const fs::path& path) {
  Layout layout;
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(&layout.header), sizeof layout.header);
  const auto file = elf::ElfFile::Open(path.string());
  const auto section = file ? file->FindSection(elf::kResourceSectionName) : std::nullopt;
  if (section) layout.directory = section->fileOffset;
  layout.size = fs::file_size(path);
  return layout;
}

template <typename T>
void Poke(const fs::path& path, std::uint64_t offset, T value) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(reinterpret_cast<const char*>(&value), sizeof value);
}

TEST(CarriedImages, DamagedFilesAreRefusedAtTheRightStep) {
  using Ehdr = ElfW(Ehdr);
  using Damage = std::function<void(const fs::path&, const Layout&)>;
  struct Case {
    const char* name;
    Damage damage;
    std::string_view mainMessage;
    std::string_view subMessage;
  };
  constexpr auto kEntries = sizeof(elf::DirectoryHeader);
  const Case cases[] = {
      // Undamaged, but not the running program.
      {"intact", [](auto&, auto&) {}, "LoadResource Error!", "LoadResource Error!"},
      {"cut after the ELF identification", [](auto& p, auto&) { fs::resize_file(p, 10); },
       "LoadLibrary Error!", "LoadLibrary Error!"},
      {"another ELF class", [](auto& p, auto&) { Poke<std::uint8_t>(p, EI_CLASS, ELFCLASS32); },
       "LoadLibrary Error!", "LoadLibrary Error!"},
      {"a relocatable object",
       [](auto& p, auto&) { Poke<ElfW(Half)>(p, offsetof(Ehdr, e_type), ET_REL); },
       "LoadLibrary Error!", "LoadLibrary Error!"},
      {"section table past the end",
       [](auto& p, auto& l) { Poke<ElfW(Off)>(p, offsetof(Ehdr, e_shoff), l.size - 8); },
       "FindResource Error!", "FindResource Error!"},
      {"cut before the section table",
       [](auto& p, auto& l) { fs::resize_file(p, l.header.e_shoff); }, "FindResource Error!",
       "FindResource Error!"},
      {"wrong section header size",
       [](auto& p, auto&) { Poke<ElfW(Half)>(p, offsetof(Ehdr, e_shentsize), 10); },
       "FindResource Error!", "FindResource Error!"},
      {"section names out of range",
       [](auto& p, auto& l) { Poke<ElfW(Half)>(p, offsetof(Ehdr, e_shstrndx), l.header.e_shnum); },
       "FindResource Error!", "FindResource Error!"},
      {"section count 0 without the extended count",
       [](auto& p, auto&) { Poke<ElfW(Half)>(p, offsetof(Ehdr, e_shnum), 0); },
       "FindResource Error!", "FindResource Error!"},
      {"huge extended section count",
       [](auto& p, auto& l) {
         Poke<ElfW(Half)>(p, offsetof(Ehdr, e_shnum), 0);
         Poke<ElfW(Xword)>(p, l.header.e_shoff + offsetof(ElfW(Shdr), sh_size), 1ull << 40);
       },
       "FindResource Error!", "FindResource Error!"},
      {"directory without its mark", [](auto& p, auto& l) { Poke<char>(p, l.directory, 'X'); },
       "FindResource Error!", "FindResource Error!"},
      {"directory of another layout",
       [](auto& p, auto& l) { Poke<std::uint32_t>(p, l.directory + 8, 2); }, "FindResource Error!",
       "FindResource Error!"},
      {"directory with too many entries",
       [](auto& p, auto& l) { Poke<std::uint32_t>(p, l.directory + 12, 100000); },
       "FindResource Error!", "FindResource Error!"},
      {"no resource 720",
       [&](auto& p, auto& l) { Poke<std::uint32_t>(p, l.directory + kEntries, 721); },
       "FindResource Error!", "LoadResource Error!"},
      {"resource 720 of another type",
       [&](auto& p, auto& l) { Poke<std::uint32_t>(p, l.directory + kEntries + 4, 23); },
       "FindResource Error!", "LoadResource Error!"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const fs::path copy = dir.path() / "damaged";
    fs::remove(copy);
    fs::copy_file(TORV2_PROBE_CARRYING, copy);
    const Layout layout = LayoutOf(copy);
    ASSERT_NE(layout.directory, 0u);
    c.damage(copy, layout);
    ExpectFailedLoads(copy.string(), c.mainMessage, c.subMessage, c.name);
  }
}

// The steps that need the running program itself to be built oddly run in a probe program that
// looks up resources in its own image.
struct ProbeRun {
  int exitCode = -1;
  std::string output;
};

ProbeRun RunProbe(const std::string& probe, const std::string& module, const std::string& image) {
  const std::string command = "'" + probe + "' '" + module + "' " + image + " 2>&1";
  ProbeRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    run.output.append(buffer, n);
  }
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(CarriedImages, EveryStepFailsInARunningProgramBuiltThatWay) {
  const Bytes main = ReadFile(TORV2_CARRIED_MAIN_IMAGE);
  const Bytes sub = ReadFile(TORV2_CARRIED_SUB_IMAGE);
  const std::string loadedMain = "title: " + std::string(ImageTitle(main)) + "\nloaded " +
                                 std::to_string(main.size()) + " bytes\n";
  const std::string loadedSub = "loaded " + std::to_string(sub.size()) + " bytes\n";
  struct Case {
    const char* name;
    std::string probe, module, image;
    int exitCode;
    std::string output;
  };
  const Case cases[] = {
      {"carrying the images", TORV2_PROBE_CARRYING, "self", "main", 0, loadedMain},
      {"carrying the images", TORV2_PROBE_CARRYING, "self", "sub", 0, loadedSub},
      {"no such module", TORV2_PROBE_CARRYING, "/nonexistent/module", "main", 1,
       "message: Error! LoadLibrary Error!\n"},
      {"built without images", TORV2_PROBE_PLAIN, "self", "main", 1,
       "message: Error! FindResource Error!\n"},
      {"looking into another program's file", TORV2_PROBE_CARRYING, ExecutablePath(), "main", 1,
       "message: Error! LoadResource Error!\n"},
      {"resource section not loaded", TORV2_PROBE_UNLOADED, "self", "main", 1,
       "message: Error! LoadResource Error!\n"},
      {"entry runs past the resources", TORV2_PROBE_BAD_ENTRY, "self", "main", 1,
       "message: Error! LockResource Error!\n"},
      {"sound entry beside it", TORV2_PROBE_BAD_ENTRY, "self", "sub", 0, "loaded 3 bytes\n"},
  };
  for (const auto& c : cases) {
    const ProbeRun run = RunProbe(c.probe, c.module, c.image);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.name << " " << c.image << "\n" << run.output;
    EXPECT_EQ(run.output, c.output) << c.name << " " << c.image;
  }
}

}  // namespace
}  // namespace torv2::upgrade
