#include "log/whole_line_file_sink.h"

#include <fcntl.h>
#include <spdlog/common.h>
#include <spdlog/details/os.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

using NameRule = spdlog::sinks::rotating_file_sink_st;

// How far the file on `fd`, `size` bytes long, holds whole lines: up to and
// including its last "\n", or 0 when it has none. A process that died
// between a short write and its cut-back leaves a fragment after that.
off_t WholeLinesEnd(int fd, off_t size) {
  char block[4096];
  for (off_t end = size; end > 0;) {
    const off_t start = end > static_cast<off_t>(sizeof(block)) ? end - sizeof(block) : 0;
    const ssize_t got = pread(fd, block, static_cast<std::size_t>(end - start), start);
    if (got != end - start) return size;  // unreadable: leave the file as it is
    for (ssize_t i = got; i > 0; --i) {
      if (block[i - 1] == '\n') return start + i;
    }
    end = start;
  }
  return 0;
}

[[noreturn]] void OpenFailed(const std::string& path) {
  spdlog::throw_spdlog_ex("Failed opening file " + path + " for writing", errno);
}

}  // namespace

WholeLineFileSink::WholeLineFileSink(std::string path, std::size_t max_size, std::size_t max_files)
    : path_(std::move(path)), max_size_(max_size), max_files_(max_files) {
  if (!Open()) OpenFailed(path_);
  if (regular_) {
    const off_t whole = WholeLinesEnd(fd_, size_);
    if (whole < size_ && ftruncate(fd_, whole) == 0) size_ = whole;
  }
}

WholeLineFileSink::~WholeLineFileSink() {
  if (fd_ >= 0) close(fd_);
}

bool WholeLineFileSink::Open() {
  spdlog::details::os::create_dir(spdlog::details::os::dir_name(path_));
  fd_ = open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) return false;
  struct stat info;
  regular_ = fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
  size_ = regular_ ? info.st_size : 0;
  cut_to_ = -1;
  return true;
}

bool WholeLineFileSink::Rotate() {
  // Renames need no room on the disk, and the open descriptor follows the
  // live file to its new name: nothing is closed until every rename is done,
  // so a failed rename leaves the files as they were, to be tried again.
  for (std::size_t i = max_files_; i > 0; --i) {
    if (rename(NameRule::calc_filename(path_, i - 1).c_str(),
               NameRule::calc_filename(path_, i).c_str()) != 0 &&
        errno != ENOENT) {
      return false;
    }
  }
  close(fd_);
  fd_ = -1;
  return Open();
}

bool WholeLineFileSink::CutBack() {
  if (ftruncate(fd_, cut_to_) != 0) return false;
  cut_to_ = -1;
  return true;
}

bool WholeLineFileSink::WriteWhole(const char* data, std::size_t size) {
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd_, data + written, size - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = n < 0 ? errno : EIO;
    if (written > 0 && regular_) {
      // With O_APPEND the offset is the end of what this write put there.
      cut_to_ = lseek(fd_, 0, SEEK_CUR) - static_cast<off_t>(written);
      CutBack();
    }
    errno = error;
    return false;
  }
  size_ += static_cast<off_t>(size);
  return true;
}

void WholeLineFileSink::sink_it_(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t line;
  formatter_->format(msg, line);

  // The failure path: a file to reopen, a fragment still to cut.
  if (fd_ < 0 && !Open()) OpenFailed(path_);
  if (cut_to_ >= 0 && !CutBack()) {
    spdlog::throw_spdlog_ex("Failed truncating file " + path_, errno);
  }

  if (size_ > 0 && static_cast<std::size_t>(size_) + line.size() > max_size_) {
    if (!Rotate()) {
      if (fd_ < 0) OpenFailed(path_);
      spdlog::throw_spdlog_ex("rotating_file_sink: failed renaming " + path_, errno);
    }
  }
  if (!WriteWhole(line.data(), line.size())) {
    spdlog::throw_spdlog_ex("Failed writing to file " + path_, errno);
  }
}
