#include "test_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

extern char** environ;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "light_test.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::Sub(const std::string& name) const {
  const fs::path sub = fs::path(path_) / name;
  fs::create_directories(sub);
  return sub.string();
}

std::vector<std::string> Command(const std::string& executable,
                                 const std::vector<std::string>& args) {
  std::vector<std::string> command;
  std::istringstream launcher(TEST_LAUNCHER);
  for (std::string word; std::getline(launcher, word, '\t');) command.push_back(word);
  command.push_back(executable);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

Child::Child(const std::vector<std::string>& argv, const std::string& cwd, int stdout_fd)
    : out_path_(capture_.path() + "/stdout"), err_path_(capture_.path() + "/stderr") {
  const int out =
      stdout_fd >= 0 ? stdout_fd : open(out_path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // posix_spawn rather than fork: it is safe in the threaded test processes
  // and works under user-mode emulation, where a forked child crashes.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  const int spawned = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (stdout_fd < 0) close(out);
  close(err);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Child::~Child() {
  if (status_ < 0) Kill();
}

int Child::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (status_ < 0) {
    int raw = 0;
    const pid_t done = waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    } else if (std::chrono::steady_clock::now() >= deadline) {
      return -1;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return status_;
}

int Child::Kill() {
  if (status_ < 0) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  return status_;
}

int Child::StopAfter(std::chrono::milliseconds run) {
  const int status = Wait(run);
  return status >= 0 ? status : Kill();
}

std::string Child::out() const { return ReadFile(out_path_); }
std::string Child::err() const { return ReadFile(err_path_); }

Outcome RunToEnd(const std::vector<std::string>& argv, const std::string& cwd,
                 std::chrono::milliseconds timeout) {
  Child child(argv, cwd);
  const int status = child.Wait(timeout);  // -1: still running at the timeout
  child.Kill();
  return {status, child.out(), child.err()};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string CopyExecutable(const std::string& from, const std::string& directory) {
  const fs::path to = fs::path(directory) / fs::path(from).filename();
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  return to.string();
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool PngSize(const std::string& png, unsigned* width, unsigned* height) {
  if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
      png.compare(12, 4, "IHDR") != 0) {
    return false;
  }
  auto be32 = [&](std::size_t at) {
    unsigned value = 0;
    for (std::size_t i = 0; i < 4; ++i)
      value = value << 8 | static_cast<unsigned char>(png[at + i]);
    return value;
  };
  *width = be32(16);
  *height = be32(20);
  return true;
}
