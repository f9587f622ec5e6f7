#include "small_disk.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

// Once per process: a mount namespace of its own, in which mounts do not
// propagate back to the machine's.
std::string PrivateMounts() {
  static const std::string failure = []() -> std::string {
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("private /: ") + std::strerror(errno);
    }
    return "";
  }();
  return failure;
}

}  // namespace

SmallDisk::SmallDisk(std::size_t bytes) : unavailable_(PrivateMounts()) {
  if (!unavailable_.empty()) return;
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) != 0) {
    unavailable_ = std::string("mount tmpfs: ") + std::strerror(errno);
  }
}

SmallDisk::~SmallDisk() {
  if (unavailable_.empty()) umount2(dir_.path().c_str(), MNT_DETACH);
}

void SmallDisk::Fill() const {
  const std::string filler = path() + "/filler";
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + filler);
  // Large writes first, then ever smaller ones, down to the last byte.
  const std::vector<char> block(1 << 16, 'f');
  for (std::size_t chunk = block.size(); chunk > 0; chunk /= 2) {
    while (write(fd, block.data(), chunk) > 0) {
    }
  }
  close(fd);
}

void SmallDisk::Free() const { unlink((path() + "/filler").c_str()); }

std::string LayoutLines(std::size_t bytes) {
  const std::string head = "[2026-12-09 08:00:00.000] [log] [info] [light_test.cc:14] ";
  const auto line = [&](std::size_t length) {
    // "current illuminance: " + digits + ".00\n" fills the rest.
    const std::size_t digits = length - head.size() - 25;
    return head + "current illuminance: " + std::string(digits, '1') + ".00\n";
  };
  const std::size_t shortest = head.size() + 26;
  std::string lines;
  while (bytes - lines.size() >= 3 * shortest) lines += line(shortest);
  const std::size_t rest = bytes - lines.size();
  lines += line(rest / 2);
  lines += line(rest - rest / 2);
  return lines;
}
