#ifndef LIGHT_TEST_TESTS_SMALL_DISK_H_
#define LIGHT_TEST_TESTS_SMALL_DISK_H_

#include <cstddef>
#include <string>

#include "test_process.h"

// A real filesystem that can be filled to its last byte: a small tmpfs,
// mounted in a mount namespace of this process's own so that nothing outside
// the test sees it. Processes started afterwards inherit the namespace.
class SmallDisk {
 public:
  explicit SmallDisk(std::size_t bytes);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  // Empty when the disk is mounted; else why not (mounting needs root).
  const std::string& unavailable() const { return unavailable_; }
  const std::string& path() const { return dir_.path(); }

  // Takes every free byte with a filler file; Free() gives them back.
  void Fill() const;
  void Free() const;

 private:
  TempDir dir_;
  std::string unavailable_;
};

// Skips the test where no small disk could be mounted.
#define REQUIRE_DISK(disk) \
  if (!(disk).unavailable().empty()) GTEST_SKIP() << "no small disk: " << (disk).unavailable()

// Whole lines in the tool's file layout, `bytes` in all (at least 200).
std::string LayoutLines(std::size_t bytes);

#endif  // LIGHT_TEST_TESTS_SMALL_DISK_H_
