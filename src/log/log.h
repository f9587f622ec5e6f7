#ifndef LIGHT_TEST_SRC_LOG_LOG_H_
#define LIGHT_TEST_SRC_LOG_LOG_H_

#include <spdlog/spdlog.h>

#include <cstddef>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

// The application log: every message goes to a rotating file beside the
// executable and, in the same words, to standard output.

// Process-wide holder of the file logger, created by the first message.
class AppLogger {
 public:
  static constexpr const char* kLoggerName = "log";
  static constexpr std::size_t kMaxFileSize = 10485760;  // 10 MiB
  static constexpr std::size_t kMaxFiles = 2;
  // The executable's path is read into a zero-filled buffer of this size,
  // so at most one byte less than this is ever used.
  static constexpr std::size_t kExePathBufferSize = 2048;

  static AppLogger& Instance();

  // The file logger, or null when the log file could not be opened: the
  // console then carries the messages alone.
  std::shared_ptr<spdlog::logger> logger() const { return logger_; }

  AppLogger(const AppLogger&) = delete;
  AppLogger& operator=(const AppLogger&) = delete;

 private:
  AppLogger();
  ~AppLogger();

  std::shared_ptr<spdlog::logger> logger_;
};

// Where the log file of an executable at `exe_path` lives: "logs/" in the
// executable's directory, named after the executable with ".log" appended.
// The path is first cut to what the executable-path buffer can hold.
std::string LogFilePath(std::string_view exe_path);

namespace applog {

// The wall clock for a log line. Read by the system's own call, built with
// 64-bit time, rather than through the C++ library: on boards whose C++
// library still keeps 32-bit time (Debian 12's armhf) the standard clock
// fails after January 2038.
spdlog::log_clock::time_point Now();

// Writes one formatted message to the file logger, then to spdlog's default
// (console) logger. The message is formatted once, so the arguments are
// evaluated and formatted exactly once whatever the number of outputs.
template <typename... Args>
void Write(spdlog::source_loc location, spdlog::level::level_enum level,
           fmt::format_string<Args...> format, Args&&... args) {
  std::shared_ptr<spdlog::logger> file = AppLogger::Instance().logger();
  spdlog::logger* console = spdlog::default_logger_raw();
  const bool to_file = file && file->should_log(level);
  const bool to_console = console != nullptr && console->should_log(level);
  if (!to_file && !to_console) return;

  fmt::memory_buffer message;
  fmt::vformat_to(std::back_inserter(message), fmt::string_view(format),
                  fmt::make_format_args(args...));
  const spdlog::string_view_t text(message.data(), message.size());
  // Each output reads the clock when it takes the line, as spdlog would.
  if (to_file) file->log(Now(), location, level, text);
  if (to_console) console->log(Now(), location, level, text);
}

}  // namespace applog

// The dual log statement, carrying the statement's own source location.
#define LOG_AT(level, ...) \
  ::applog::Write(::spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION}, level, __VA_ARGS__)
#define LOG_INFO(...) LOG_AT(::spdlog::level::info, __VA_ARGS__)
#define LOG_ERROR(...) LOG_AT(::spdlog::level::err, __VA_ARGS__)

#endif  // LIGHT_TEST_SRC_LOG_LOG_H_
