// Sets the system clock to a Unix time, for the emulated board's run of the
// tool after January 2038: built with 64-bit time, it can set what the
// board's own date command, with 32-bit time on Debian 12 armhf, cannot.
//
//   set_clock SECONDS

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  char* end = nullptr;
  errno = 0;
  const long long seconds = argc == 2 ? std::strtoll(argv[1], &end, 10) : -1;
  if (argc != 2 || end == argv[1] || *end != '\0' || errno != 0 || seconds < 0) {
    std::fprintf(stderr, "usage: set_clock SECONDS\n");
    return 2;
  }
  const timespec at{static_cast<time_t>(seconds), 0};
  if (clock_settime(CLOCK_REALTIME, &at) != 0) {
    std::perror("set_clock: clock_settime");
    return 1;
  }
  return 0;
}
