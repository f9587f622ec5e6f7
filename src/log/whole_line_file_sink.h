#ifndef LIGHT_TEST_SRC_LOG_WHOLE_LINE_FILE_SINK_H_
#define LIGHT_TEST_SRC_LOG_WHOLE_LINE_FILE_SINK_H_

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>
#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>

// A size-rotated log file that only ever holds whole lines.
//
// Rotation is spdlog's: before a line that would take the file past
// `max_size`, x.log becomes x.1.log, x.1.log becomes x.2.log (for
// `max_files` 2), and the line starts a new x.log. Each line goes to the
// file in one write(2) on an O_APPEND descriptor, so it is with the
// operating system when the call returns and nothing is buffered here.
//
// What differs from spdlog's rotating sink is failure: a line that does not
// go out whole (full disk, I/O error, a write that took only part of it) is
// cut back out of the file, and the next line starts at a line boundary.
// The failure is raised as spdlog's error, so the logger reports it. A file
// that could not be reopened after a rotation is tried again on the next
// line, so logging comes back by itself once the disk has room.
class WholeLineFileSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // Opens (creating the directory and the file if need be) `path` for
  // appending; raises spdlog's error when it cannot. A fragment left at the
  // end of the file by a process that died in the middle of a failed write
  // is cut off first.
  WholeLineFileSink(std::string path, std::size_t max_size, std::size_t max_files);
  ~WholeLineFileSink() override;

  WholeLineFileSink(const WholeLineFileSink&) = delete;
  WholeLineFileSink& operator=(const WholeLineFileSink&) = delete;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}  // every line is written straight through

 private:
  // Opens the live file; false (with errno set) when it cannot.
  bool Open();
  // Renames the files one place up, oldest first; false when a rename fails.
  bool Rotate();
  // Writes `size` bytes at the end of the file whole, or takes back what
  // went out of them and returns false with errno set.
  bool WriteWhole(const char* data, std::size_t size);
  // Takes the file back to `cut_to_`; false (with errno set) when it cannot.
  bool CutBack();

  const std::string path_;
  const std::size_t max_size_;
  const std::size_t max_files_;
  int fd_ = -1;
  bool regular_ = false;  // only a regular file can be cut back
  off_t size_ = 0;        // what the live file holds, as far as this sink wrote it
  off_t cut_to_ = -1;     // where a cut-back that failed must still cut
};

#endif  // LIGHT_TEST_SRC_LOG_WHOLE_LINE_FILE_SINK_H_
