// Steering the device emulator from a test: faults are written to its
// control file (named by TORVEX_TEST_CONTROL), which the emulator reads
// when the next command arrives.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace emulator {

inline const char *ControlPath() { return std::getenv("TORVEX_TEST_CONTROL"); }

// True when the test runs with an emulator behind COM ports.
inline bool Present() { return ControlPath() != nullptr; }

// Replaces the pending faults with these lines (satemu faults).
inline void Faults(const std::string &lines) {
  std::FILE *f = std::fopen(ControlPath(), "wb");
  ASSERT_NE(f, nullptr) << "cannot write " << ControlPath();
  std::fputs(lines.c_str(), f);
  std::fputs("\n", f);
  std::fclose(f);
}

inline void NoFaults() { std::remove(ControlPath()); }

// A file in the test's scratch folder.
inline std::string Scratch(const std::string &name) {
  const char *dir = std::getenv("TORVEX_TEST_TMP");
  return std::string(dir ? dir : ".") + "/" + name;
}

class Stopwatch {
 public:
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace emulator

#define REQUIRE_EMULATOR()                                                               \
  do {                                                                                   \
    if (!emulator::Present()) GTEST_SKIP() << "no emulator: run through with-satemu.sh"; \
  } while (0)

namespace emulator {
// A test that needs the emulator: skipped without it; starts and ends with
// no pending faults.
class DeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_EMULATOR();
    NoFaults();
  }
  void TearDown() override {
    if (Present()) NoFaults();
  }
};
}  // namespace emulator
