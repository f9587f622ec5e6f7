#include "log/log.h"

#include <spdlog/details/synchronous_factory.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log/whole_line_file_sink.h"

namespace {

constexpr const char* kLogDirectory = "logs/";
constexpr const char* kLogExtension = ".log";
constexpr const char* kDefaultFileName = "log.log";
constexpr const char* kExeLink = "/proc/self/exe";

// spdlog does not say why it could not create the log directory: its error
// names only the file. Asking again gives the reason.
std::string DirectoryFailure(const std::string& log_path) {
  const std::string directory = log_path.substr(0, log_path.rfind('/'));
  struct stat info;
  if (stat(directory.c_str(), &info) == 0 || mkdir(directory.c_str(), 0755) == 0) return "";
  return "; cannot create " + directory + ": " + std::strerror(errno);
}

}  // namespace

std::string LogFilePath(std::string_view exe_path) {
  exe_path = exe_path.substr(0, AppLogger::kExePathBufferSize - 1);
  std::string directory;
  std::string file_name = kDefaultFileName;
  const std::size_t slash = exe_path.rfind('/');
  if (slash != std::string_view::npos) {
    directory = exe_path.substr(0, slash + 1);
    file_name = exe_path.substr(slash + 1);
  }
  return directory + kLogDirectory + file_name + kLogExtension;
}

spdlog::log_clock::time_point applog::Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return spdlog::log_clock::time_point(std::chrono::duration_cast<spdlog::log_clock::duration>(
      std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
}

AppLogger& AppLogger::Instance() {
  static AppLogger instance;
  return instance;
}

AppLogger::AppLogger() {
  // spdlog's registry must be complete before this object is, so that it is
  // destroyed after it and the destructor's drop_all() always finds it.
  spdlog::default_logger_raw();

  char exe_path[kExePathBufferSize] = {};
  const ssize_t length = readlink(kExeLink, exe_path, sizeof(exe_path) - 1);
  const std::string path =
      LogFilePath(std::string_view(exe_path, length > 0 ? static_cast<std::size_t>(length) : 0));

  // A log file that cannot be opened must not end the measuring: say so once
  // and let the console carry the messages.
  try {
    logger_ = spdlog::synchronous_factory::create<WholeLineFileSink>(kLoggerName, path,
                                                                     kMaxFileSize, kMaxFiles);
  } catch (const spdlog::spdlog_ex& error) {
    std::fprintf(stderr, "Log file unavailable, logging to standard output only: %s%s\n",
                 error.what(), DirectoryFailure(path).c_str());
    return;
  }
  logger_->set_level(spdlog::level::info);
  logger_->flush_on(spdlog::level::info);
}

AppLogger::~AppLogger() { spdlog::drop_all(); }
