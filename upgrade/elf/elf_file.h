#pragma once
// Read-only access to an ELF file of this machine's class and byte order: its identity on disk
// and its named sections. Every value read from the file is checked against the file's size.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace torv2::upgrade::elf {

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct SectionInfo {
  std::uint64_t fileOffset = 0;
  std::uint64_t size = 0;
  std::uint64_t address = 0;  // where the section is loaded, before the module's load bias
  bool allocated = false;     // loaded into memory when the module is
  bool hasFileBytes = false;  // not a zero-fill section
};

// Owns a file descriptor and closes it.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

class ElfFile {
 public:
  // None when the file cannot be opened, is not a regular file, or is not an executable or
  // shared object of this machine's class and byte order.
  static std::optional<ElfFile> Open(const std::string& path);

  const FileIdentity& identity() const { return identity_; }
  // The first section called `name`; none when the file has no such section or its section
  // table or section names are damaged.
  std::optional<SectionInfo> FindSection(std::string_view name) const;
  // Reads exactly out.size() bytes at `offset`; false when they are not all in the file.
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const;

 private:
  ElfFile(UniqueFd fd, std::uint64_t size, FileIdentity identity)
      : fd_(std::move(fd)), size_(size), identity_(identity) {}

  UniqueFd fd_;
  std::uint64_t size_ = 0;
  FileIdentity identity_;
};

}  // namespace torv2::upgrade::elf
