#pragma once
// Small helpers for the history tests: a temporary folder, collected warnings, a row, raw SQL on
// a file, a second connection that holds a lock, and a scope without root's file override.

#ifndef _WIN32
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "history/attempt_row.h"
#include "history/history_store.h"

namespace torv2::history::testing {

class TempFolder {
 public:
  // `name` (UTF-8) begins the folder's name.
  explicit TempFolder(std::string_view name = "torv2-history-") {
    std::random_device random;
    const std::filesystem::path temp = std::filesystem::temp_directory_path();
    for (int tries = 0; tries < 100; ++tries) {
      const std::string tail = std::to_string(random()) + std::to_string(random());
      path_ = temp / std::filesystem::path(std::u8string(name.begin(), name.end()) +
                                           std::u8string(tail.begin(), tail.end()));
      std::error_code error;
      if (std::filesystem::create_directory(path_, error)) return;  // a new one, ours alone
    }
    ADD_FAILURE() << "no temporary folder could be made in " << temp;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class Collected {
 public:
  WarningSink sink() {
    return [this](std::string_view text) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(text);
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

inline AttemptRow Row(std::string device, std::string timeUtc) {
  return {.timeUtc = std::move(timeUtc),
          .program = "torv2-upgrader-cli",
          .kind = "upgrade",
          .device = std::move(device),
          .versionBefore = "2.07",
          .versionCarried = "2.08",
          .outcome = "ok",
          .durationMs = 650};
}

// Runs `sql` on its own connection; the first column of the last row it gave, as text.
inline std::string RawSql(const std::filesystem::path& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.string().c_str(), &db);
  std::string last;
  char* error = nullptr;
  sqlite3_exec(
      db, sql.c_str(),
      [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) = values[0] ? values[0] : "";
        return 0;
      },
      &last, &error);
  if (error) {
    ADD_FAILURE() << sql << ": " << error;
    sqlite3_free(error);
  }
  sqlite3_close(db);
  return last;
}

// Another program's connection, in a transaction until Release().
class Holder {
 public:
  Holder(const std::filesystem::path& path, const char* begin) {
    sqlite3_open(path.string().c_str(), &db_);
    EXPECT_EQ(sqlite3_exec(db_, begin, nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ~Holder() {
    Release();
    sqlite3_close(db_);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  void Release() { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

 private:
  sqlite3* db_ = nullptr;
};

// The calling thread without the capabilities that let root write a read-only file (with
// `reading`, also read an unreadable one). Windows has no such override: nothing to put down.
#ifdef _WIN32
class WithoutFileOverride {
 public:
  explicit WithoutFileOverride(bool = false) {}
};
#else
class WithoutFileOverride {
 public:
  explicit WithoutFileOverride(bool reading = false) {
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_FOWNER));
    if (reading) reduced[0].effective &= ~(1u << CAP_DAC_READ_SEARCH);
    held_ = ::syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~WithoutFileOverride() {
    if (held_) ::syscall(SYS_capset, &header_, saved_);
  }
  WithoutFileOverride(const WithoutFileOverride&) = delete;
  WithoutFileOverride& operator=(const WithoutFileOverride&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
  bool held_ = false;
};
#endif

}  // namespace torv2::history::testing
