// The application log: its path rule in-process, and its outputs as a
// process (the probe) beside its own executable.

#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "test_process.h"

namespace {

namespace fs = std::filesystem;

TEST(LogFilePath, LivesInLogsBesideTheExecutable) {
  struct Case {
    std::string exe;
    std::string log;
  };
  const std::string dirs = "/" + std::string(2000, 'd') + "/";
  const std::vector<Case> cases = {
      {"/opt/meter/bin/lightmon", "/opt/meter/bin/logs/lightmon.log"},
      {"/usr/local/bin/meter", "/usr/local/bin/logs/meter.log"},
      {"/light_test", "/logs/light_test.log"},
      {"bin/", "bin/logs/.log"},
      {"lightmon", "logs/log.log.log"},
      {"", "logs/log.log.log"},
      // Only the first 2,047 bytes of the path are used: the name is cut...
      {dirs + std::string(100, 'x'), dirs + "logs/" + std::string(45, 'x') + ".log"},
      // ...or the last "/" falls beyond the cut.
      {"/a/" + std::string(2100, 'y') + "/tool", "/a/logs/" + std::string(2044, 'y') + ".log"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogFilePath(c.exe), c.log) << c.exe.substr(0, 60);
  }
}

// The line number of the probe statement tagged `tag`.
int ProbeLine(const std::string& tag) {
  const std::vector<std::string> lines = Lines(ReadFile(LOG_PROBE_SOURCE));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("// tag:" + tag) != std::string::npos) return static_cast<int>(i + 1);
  }
  return -1;
}

// The probe copied into bin/ of a scratch directory and run from work/.
class ProbeTest : public testing::Test {
 protected:
  ProbeTest()
      : bin_(dir_.Sub("bin")),
        work_(dir_.Sub("work")),
        probe_(CopyExecutable(LOG_PROBE, bin_)),
        logs_(bin_ + "/logs"),
        log_(logs_ + "/log_probe.log") {}

  std::vector<std::string> Args(const std::vector<std::string>& messages) const {
    return Command(probe_, messages);
  }
  Outcome Run(const std::vector<std::string>& messages) const {
    return RunToEnd(Args(messages), work_);
  }

  TempDir dir_;
  std::string bin_, work_, probe_, logs_, log_;
};

// "[date time.ms] " of spdlog's default layout.
const std::string kStamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";

std::string Escaped(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

std::string Line(const std::string& name, const std::string& level, const std::string& tag,
                 const std::string& text) {
  return kStamp + name +
         Escaped("[" + level + "] [log_probe.cc:" + std::to_string(ProbeLine(tag)) + "] " + text);
}

void ExpectLines(const std::string& output, const std::vector<std::string>& patterns) {
  const std::vector<std::string> lines = Lines(output);
  ASSERT_EQ(lines.size(), patterns.size()) << output;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i])))
        << lines[i] << "\n  does not match\n"
        << patterns[i];
  }
}

TEST_F(ProbeTest, EachMessageOnceInEachOutputWithItsStatementLocation) {
  const Outcome outcome =
      Run({"info", "first 1.50", "debug", "hidden", "error", "Open /dev/x error!", "info", "last"});

  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  const std::string file = "\\[log\\] ";
  ExpectLines(ReadFile(log_), {Line(file, "info", "info", "first 1.50"),
                               Line(file, "error", "error", "Open /dev/x error!"),
                               Line(file, "info", "info", "last")});
  ExpectLines(outcome.out,
              {Line("", "info", "info", "first 1.50"),
               Line("", "error", "error", "Open /dev/x error!"), Line("", "info", "info", "last")});
  EXPECT_FALSE(Exists(work_ + "/logs")) << "the log must not follow the working directory";
}

TEST_F(ProbeTest, WritesTheFileBeforeTheConsole) {
  // Standard output is a pipe already full: the probe blocks on its first
  // console line, by which time the file line must be written.
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
  const std::string filler(4096, '.');
  while (write(pipe_fds[1], filler.data(), filler.size()) > 0) {
  }
  fcntl(pipe_fds[1], F_SETFL, 0);
  Child child(Args({"info", "one"}), work_, pipe_fds[1]);
  close(pipe_fds[1]);

  EXPECT_EQ(child.Wait(std::chrono::milliseconds(1500)), -1) << "did not block on the console";
  EXPECT_EQ(Lines(ReadFile(log_)).size(), 1U);
  std::string drained;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0;) drained.append(buffer, n);
  close(pipe_fds[0]);
  EXPECT_EQ(child.Wait(std::chrono::seconds(5)), 0);
  EXPECT_NE(drained.find("] one\n"), std::string::npos);
}

TEST_F(ProbeTest, RestartAppendsToTheFile) {
  ASSERT_EQ(Run({"info", "run 1"}).status, 0);
  ASSERT_EQ(Run({"info", "run 2"}).status, 0);
  const std::vector<std::string> lines = Lines(ReadFile(log_));
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_NE(lines[0].find("run 1"), std::string::npos);
  EXPECT_NE(lines[1].find("run 2"), std::string::npos);
  EXPECT_FALSE(Exists(logs_ + "/log_probe.1.log"));
}

TEST_F(ProbeTest, RotatesWholeLinesAtTheSizeLimit) {
  // A file line for the message "fits": stamp, name, level, location, text.
  const std::string location = "[log_probe.cc:" + std::to_string(ProbeLine("info")) + "] ";
  const std::size_t line_length =
      std::string("[2026-01-01 00:00:00.000] [log] [info] ").size() + location.size() + 6;
  const std::size_t limit = AppLogger::kMaxFileSize;
  ASSERT_EQ(limit, 10485760U);
  std::string prefill;
  while (prefill.size() + 100 <= limit - line_length) prefill += std::string(99, 'p') + "\n";
  prefill += std::string(limit - line_length - prefill.size() - 1, 'q') + "\n";
  fs::create_directories(logs_);
  WriteFile(log_, prefill);
  WriteFile(logs_ + "/log_probe.1.log", "older\n");
  WriteFile(logs_ + "/log_probe.2.log", "oldest\n");

  ASSERT_EQ(Run({"info", "fits!", "info", "moves"}).status, 0);

  // The first line takes the file to exactly the limit; the next one would
  // pass it and starts the new file whole.
  const std::string rotated = ReadFile(logs_ + "/log_probe.1.log");
  EXPECT_EQ(rotated.size(), limit);
  EXPECT_EQ(rotated.compare(0, prefill.size(), prefill), 0);
  EXPECT_NE(rotated.find(location + "fits!\n", prefill.size()), std::string::npos);
  const std::vector<std::string> live = Lines(ReadFile(log_));
  ASSERT_EQ(live.size(), 1U);
  EXPECT_NE(live[0].find(location + "moves"), std::string::npos);
  EXPECT_EQ(ReadFile(logs_ + "/log_probe.2.log"), "older\n");
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(logs_)) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files,
            (std::vector<std::string>{"log_probe.1.log", "log_probe.2.log", "log_probe.log"}));
}

int ErrorReports(const std::string& err) {
  int n = 0;
  for (const std::string& line : Lines(err)) {
    if (std::regex_match(
            line, std::regex(R"(\[\*\*\* LOG ERROR #\d{4} \*\*\*\] \[.*\] \[log\] \{.*\})"))) {
      ++n;
    }
  }
  return n;
}

TEST_F(ProbeTest, AFullDiskIsReportedAtMostOnceASecond) {
  fs::create_directories(logs_);
  fs::create_symlink("/dev/full", log_);

  const Outcome outcome =
      Run({"info", "a", "info", "b", "error", "c", "sleep", "1100", "info", "d"});

  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(ErrorReports(outcome.err), 2) << outcome.err;
  EXPECT_EQ(Lines(outcome.err).size(), 2U) << outcome.err;
  EXPECT_EQ(Lines(outcome.out).size(), 4U) << "the console must carry every message";
}

TEST_F(ProbeTest, ALogFileThatCannotBeOpenedLeavesTheConsole) {
  WriteFile(logs_, "a file where the directory should be\n");

  const Outcome outcome = Run({"info", "a", "error", "b", "info", "c"});

  EXPECT_EQ(outcome.status, 0);
  ExpectLines(outcome.out, {Line("", "info", "info", "a"), Line("", "error", "error", "b"),
                            Line("", "info", "info", "c")});
  const std::vector<std::string> err = Lines(outcome.err);
  ASSERT_EQ(err.size(), 1U) << outcome.err;
  EXPECT_NE(err[0].find(log_), std::string::npos) << "names the path";
  EXPECT_NE(err[0].find("Not a directory"), std::string::npos) << "says why";
}

}  // namespace
