#ifndef LIGHT_TEST_TESTS_TEST_PROCESS_H_
#define LIGHT_TEST_TESTS_TEST_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Helpers for running the system's executables as processes in a scratch
// directory and reading what they leave behind.

// A fresh directory under the system's temporary directory, removed with all
// it holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Creates (if need be) and returns the subdirectory `name`.
  std::string Sub(const std::string& name) const;

 private:
  std::string path_;
};

// The command line that runs `executable` of this build with `args`: under
// the emulator when the build is for another machine.
std::vector<std::string> Command(const std::string& executable,
                                 const std::vector<std::string>& args = {});

// A started process whose standard output and error go to files.
class Child {
 public:
  // Runs `argv` in `cwd`; standard output goes to `stdout_fd` when given,
  // else to a file read by out().
  Child(const std::vector<std::string>& argv, const std::string& cwd, int stdout_fd = -1);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status, 128 + signal number for a signal, or -1 when the process
  // is still running after `timeout`.
  int Wait(std::chrono::milliseconds timeout);
  // Ends the process with SIGKILL and reaps it.
  int Kill();
  // Lets the process run for `run`, then kills it if it is still running;
  // returns its status as Wait does.
  int StopAfter(std::chrono::milliseconds run);
  std::string out() const;
  std::string err() const;

 private:
  TempDir capture_;  // holds the output files; first, so it exists before them
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_path_;
  std::string err_path_;
};

// Runs `argv` in `cwd` to its end (at most `timeout`).
struct Outcome {
  int status;
  std::string out;
  std::string err;
};
Outcome RunToEnd(const std::vector<std::string>& argv, const std::string& cwd,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::vector<std::string> Lines(const std::string& text);
// Copies an executable to `directory` and returns the copy's path.
std::string CopyExecutable(const std::string& from, const std::string& directory);
bool Exists(const std::string& path);
// Width and height from a PNG file's header; false if it is no PNG.
bool PngSize(const std::string& png, unsigned* width, unsigned* height);

#endif  // LIGHT_TEST_TESTS_TEST_PROCESS_H_
