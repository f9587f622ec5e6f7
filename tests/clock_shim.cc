// Moves the wall clock of a process by CLOCK_SHIM_OFFSET seconds, to see how
// it dates its lines after January 2038. Preloaded (LD_PRELOAD; under
// qemu-arm through QEMU_SET_ENV) in front of the C library.
//
// On 32-bit ARM the C library has two entry points: clock_gettime with a
// 32-bit time_t, which fails with EOVERFLOW past 2038 as the real one does,
// and __clock_gettime64, which programs built with 64-bit time call.

// This file describes the 32-bit entry point itself.
#undef _TIME_BITS

#include <dlfcn.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

struct Timespec64 {
  std::int64_t tv_sec;
  std::int32_t tv_nsec;
  std::int32_t padding;
};

std::int64_t Offset() {
  static const std::int64_t offset = [] {
    const char* value = std::getenv("CLOCK_SHIM_OFFSET");
    return value != nullptr ? std::strtoll(value, nullptr, 10) : 0;
  }();
  return offset;
}

bool Shifted(clockid_t id) { return id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE; }

// Calls the C library's own `name` and moves the wall clock it reads.
template <typename Time>
int ShiftedCall(const char* name, clockid_t id, Time* now) {
  using Real = int (*)(clockid_t, Time*);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, name));
  const int result = real(id, now);
  if (result == 0 && Shifted(id)) now->tv_sec += Offset();
  return result;
}

}  // namespace

#if defined(__arm__)

extern "C" int __clock_gettime64(clockid_t id, Timespec64* now) {
  return ShiftedCall("__clock_gettime64", id, now);
}

extern "C" int clock_gettime(clockid_t id, timespec* now) {
  Timespec64 wide{};
  if (__clock_gettime64(id, &wide) != 0) return -1;
  if (wide.tv_sec != static_cast<time_t>(wide.tv_sec)) {
    errno = EOVERFLOW;
    return -1;
  }
  now->tv_sec = static_cast<time_t>(wide.tv_sec);
  now->tv_nsec = wide.tv_nsec;
  return 0;
}

#else

extern "C" int clock_gettime(clockid_t id, timespec* now) {
  return ShiftedCall("clock_gettime", id, now);
}

#endif
