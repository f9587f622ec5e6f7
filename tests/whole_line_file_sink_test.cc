// The log file's sink on a real filesystem: lines that do not go out whole
// are taken back, rotation on a full disk, a fragment left by a killed write.

#include "log/whole_line_file_sink.h"

#include <gtest/gtest.h>
#include <spdlog/logger.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "small_disk.h"
#include "test_process.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPage = 4096;

// A logger over the sink whose error reports are kept, not printed.
struct FileLog {
  FileLog(const std::string& path, std::size_t max_size)
      : logger("log", std::make_shared<WholeLineFileSink>(path, max_size, 2)) {
    logger.set_pattern("%v");
    logger.set_error_handler([this](const std::string& error) { errors.push_back(error); });
  }
  spdlog::logger logger;
  std::vector<std::string> errors;
};

TEST(WholeLineFileSink, TakesBackALineTheFullDiskCutAndGoesOnWhenThereIsRoom) {
  SmallDisk disk(64 * 1024);
  REQUIRE_DISK(disk);
  const std::string path = disk.path() + "/logs/x.log";
  // 30 bytes of room are left in the file's last page: the next line gets
  // only those, and then the disk has no page to give.
  const std::string before = LayoutLines(kPage - 30);
  fs::create_directories(disk.path() + "/logs");
  WriteFile(path, before);
  FileLog log(path, 1 << 20);
  disk.Fill();

  log.logger.info("{}", std::string(60, 'a'));
  log.logger.info("{}", std::string(20, 'b'));  // fits in the page's room

  EXPECT_EQ(ReadFile(path), before + std::string(20, 'b') + "\n");
  ASSERT_EQ(log.errors.size(), 1U);
  EXPECT_EQ(log.errors[0], "Failed writing to file " + path + ": No space left on device");

  log.logger.info("{}", std::string(60, 'c'));
  disk.Free();
  log.logger.info("{}", std::string(60, 'd'));

  EXPECT_EQ(ReadFile(path), before + std::string(20, 'b') + "\n" + std::string(60, 'd') + "\n");
  EXPECT_EQ(log.errors.size(), 2U);
}

TEST(WholeLineFileSink, RotatesOnAFullDiskAndLosesOnlyTheLinesThatFoundNoRoom) {
  SmallDisk disk(256 * 1024);
  REQUIRE_DISK(disk);
  const std::string logs = disk.path() + "/logs";
  fs::create_directories(logs);
  const std::size_t limit = 8 * kPage;
  const std::string before = LayoutLines(limit - 20);
  WriteFile(logs + "/x.log", before);
  // No x.2.log yet: a rotation that dropped one would free its page.
  WriteFile(logs + "/x.1.log", "older\n");
  FileLog log(logs + "/x.log", limit);
  disk.Fill();

  const std::string padding(40, '.');
  log.logger.info("lost 1{}", padding);  // rotates, and the new file gets no page
  log.logger.info("lost 2{}", padding);
  disk.Free();
  log.logger.info("kept{}", padding);

  EXPECT_EQ(ReadFile(logs + "/x.log"), "kept" + padding + "\n");
  EXPECT_EQ(ReadFile(logs + "/x.1.log"), before);
  EXPECT_EQ(ReadFile(logs + "/x.2.log"), "older\n");
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(logs)) files.push_back(entry.path().filename());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"x.1.log", "x.2.log", "x.log"}));
  EXPECT_EQ(log.errors.size(), 2U);
}

// A process killed between a short write and its cut-back leaves the start
// of a line at the end of the file: the next start cuts it off, so the next
// line cannot be glued to it.
TEST(WholeLineFileSink, CutsAFragmentAtTheEndOfTheFileWhenItOpens) {
  struct Case {
    std::string file, kept;
  };
  const std::string far(5000, 'x');  // the last "\n" lies more than a block back
  const std::vector<Case> cases = {
      {"", ""},
      {"one\ntwo\n", "one\ntwo\n"},
      {"one\n[2026-12-09 08:05:29.471] [log] [info] [illumin", "one\n"},
      {"no line end at all", ""},
      {far + "\n" + std::string(5000, 'y'), far + "\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.path() + "/x.log";
    WriteFile(path, c.file);
    FileLog log(path, 1 << 20);
    log.logger.info("next");
    EXPECT_EQ(ReadFile(path), c.kept + "next\n") << c.file.substr(0, 40);
    EXPECT_TRUE(log.errors.empty());
  }
}

}  // namespace
