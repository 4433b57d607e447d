// main() for test binaries that emulate USB devices with UmockdevBed: re-executes the binary
// under the umockdev preload (so it also runs by hand), then runs the tests.

#include <gtest/gtest.h>

#include <cstdio>
#include <exception>

#include "emulator/umockdev/preload.h"

int main(int argc, char** argv) {
  try {
    torv2::emulator::EnsureUmockdevPreload(argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
