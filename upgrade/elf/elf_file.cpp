#include "upgrade/elf/elf_file.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace torv2::upgrade::elf {
namespace {

using Ehdr = ElfW(Ehdr);
using Shdr = ElfW(Shdr);

#if __SIZEOF_POINTER__ == 8
constexpr unsigned char kNativeClass = ELFCLASS64;
#else
constexpr unsigned char kNativeClass = ELFCLASS32;
#endif
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kNativeData = ELFDATA2LSB;
#else
constexpr unsigned char kNativeData = ELFDATA2MSB;
#endif

// Bounds on what a sound executable holds; larger values mean a damaged file.
constexpr std::uint64_t kMaxSections = 1u << 20;
constexpr std::uint64_t kMaxSectionNamesSize = 16u << 20;

// True when [offset, offset + length) lies inside [0, limit).
bool InRange(std::uint64_t offset, std::uint64_t length, std::uint64_t limit) {
  return offset <= limit && length <= limit - offset;
}

template <typename T>
bool ReadStruct(const ElfFile& file, std::uint64_t offset, T& out) {
  return file.ReadAt(offset, std::span(reinterpret_cast<std::uint8_t*>(&out), sizeof out));
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

std::optional<ElfFile> ElfFile::Open(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;

  ElfFile file(
      std::move(fd), static_cast<std::uint64_t>(st.st_size),
      FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
  Ehdr header{};
  if (!ReadStruct(file, 0, header)) return std::nullopt;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != kNativeClass || header.e_ident[EI_DATA] != kNativeData ||
      header.e_ident[EI_VERSION] != EV_CURRENT ||
      (header.e_type != ET_EXEC && header.e_type != ET_DYN)) {
    return std::nullopt;
  }
  return file;
}

bool ElfFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (!InRange(offset, out.size(), size_)) return false;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        ::pread(fd_.get(), out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<SectionInfo> ElfFile::FindSection(std::string_view name) const {
  Ehdr header{};
  if (!ReadStruct(*this, 0, header)) return std::nullopt;
  if (header.e_shoff == 0 || header.e_shentsize != sizeof(Shdr)) return std::nullopt;

  // With many sections the real count and the names' section index sit in section 0.
  std::uint64_t count = header.e_shnum;
  std::uint64_t namesIndex = header.e_shstrndx;
  if (count == 0 || namesIndex == SHN_XINDEX) {
    Shdr first{};
    if (!ReadStruct(*this, header.e_shoff, first)) return std::nullopt;
    if (count == 0) count = first.sh_size;
    if (namesIndex == SHN_XINDEX) namesIndex = first.sh_link;
  }
  if (count == 0 || count > kMaxSections || namesIndex >= count) return std::nullopt;
  // Allocate only for tables the file really holds: a damaged header must not cost megabytes.
  if (!InRange(header.e_shoff, count * sizeof(Shdr), size_)) return std::nullopt;

  std::vector<Shdr> sections(count);
  if (!ReadAt(header.e_shoff, std::span(reinterpret_cast<std::uint8_t*>(sections.data()),
                                        sections.size() * sizeof(Shdr)))) {
    return std::nullopt;
  }
  const Shdr& namesSection = sections[namesIndex];
  if (namesSection.sh_type != SHT_STRTAB || namesSection.sh_size > kMaxSectionNamesSize ||
      !InRange(namesSection.sh_offset, namesSection.sh_size, size_)) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> names(namesSection.sh_size);
  if (!ReadAt(namesSection.sh_offset, names)) return std::nullopt;

  for (const Shdr& section : sections) {
    if (section.sh_name >= names.size()) continue;
    const auto begin = names.begin() + section.sh_name;
    const auto end = std::find(begin, names.end(), std::uint8_t{0});
    if (end == names.end()) continue;  // the name runs off the table
    const std::string_view sectionName(reinterpret_cast<const char*>(&*begin),
                                       static_cast<std::size_t>(end - begin));
    if (sectionName != name) continue;
    SectionInfo info;
    info.fileOffset = section.sh_offset;
    info.size = section.sh_size;
    info.address = section.sh_addr;
    info.allocated = (section.sh_flags & SHF_ALLOC) != 0;
    info.hasFileBytes = section.sh_type != SHT_NOBITS && InRange(info.fileOffset, info.size, size_);
    return info;
  }
  return std::nullopt;
}

}  // namespace torv2::upgrade::elf
