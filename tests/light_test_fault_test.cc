// The built tool under faults: a full disk, rotation while it runs, kills at
// random moments, a failing sensor, a log directory it cannot use.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "simulated_sensor.h"
#include "small_disk.h"
#include "test_process.h"
#include "tool_fixture.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr std::size_t kLimit = 10485760;

int ErrorReports(const std::string& err) {
  int n = 0;
  for (const std::string& line : Lines(err)) n += line.rfind("[*** LOG ERROR #", 0) == 0;
  return n;
}

int Readings(const std::vector<std::string>& texts, const std::string& value) {
  int n = 0;
  for (const std::string& text : texts) n += text == "current illuminance: " + value;
  return n;
}

TEST_F(LightTest, AFullDiskLeavesTheConsoleMeasuring) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  fs::create_directories(bin_ + "/logs");
  fs::create_symlink("/dev/full", log_);

  const Measured run = MeasureFor(milliseconds(3600));

  EXPECT_EQ(run.status, 128 + 9) << "the tool must keep running";
  const std::vector<std::string> texts = Texts(Messages(run.out, ""));
  EXPECT_GE(Readings(texts, "250.00"), 3) << run.out;
  // Five failing messages in about 3.3 s: a report at most once a second.
  const int reports = ErrorReports(run.err);
  EXPECT_GE(reports, 1);
  EXPECT_LE(reports, 4) << run.err;
  EXPECT_EQ(static_cast<int>(Lines(run.err).size()), reports) << run.err;
}

TEST_F(LightTest, RotatesWhileRunningWithoutSplittingOrLosingALine) {
  SimulatedSensor sensor;
  sensor.SetCounts({1, 2, 3, 4, 5, 6});
  fs::create_directories(bin_ + "/logs");
  const std::string prefill =
      std::string(kLimit - 20 - 1, 'p') + "\n";  // a few bytes short of the limit
  WriteFile(log_, prefill);
  WriteFile(bin_ + "/logs/light_test.1.log", "previous\n");
  WriteFile(bin_ + "/logs/light_test.2.log", "dropped\n");

  const Measured run = MeasureFor(milliseconds(2600));

  const std::string older = ReadFile(bin_ + "/logs/light_test.1.log");
  EXPECT_EQ(older, prefill) << "the first line of the run must start a new file";
  EXPECT_EQ(ReadFile(bin_ + "/logs/light_test.2.log"), "previous\n");
  EXPECT_FALSE(Exists(bin_ + "/logs/light_test.3.log"));
  for (const auto& entry : fs::directory_iterator(bin_ + "/logs")) {
    EXPECT_LE(fs::file_size(entry.path()), kLimit) << entry.path();
  }
  // Every console line is in the live file, whole and in order.
  const std::vector<std::string> live = Texts(Messages(run.file, "log"));
  ASSERT_GE(live.size(), 4U);
  EXPECT_EQ(Texts(Messages(run.out, "")), live);
}

TEST_F(LightTest, AKillAtAnyMomentLosesNoReportedLine) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> moment(250, 2500);

  for (int round = 0; round < 4; ++round) {
    fs::remove(log_);
    const int at = moment(random);
    const Measured run = MeasureFor(milliseconds(at));

    ASSERT_EQ(run.status, 128 + 9);
    ASSERT_TRUE(run.file.empty() || run.file.back() == '\n') << "split line, kill at " << at;
    // The file gets each message before the console: the console may be one
    // message behind the file, never ahead of it.
    const std::vector<std::string> file = Texts(Messages(run.file, "log"));
    const std::vector<std::string> console = Texts(Messages(run.out, ""));
    ASSERT_LE(console.size(), file.size()) << "kill at " << at;
    EXPECT_LE(file.size() - console.size(), 1U) << "kill at " << at;
    EXPECT_TRUE(std::equal(console.begin(), console.end(), file.begin())) << "kill at " << at;
  }
}

// The tool copied onto a small real disk that fills up while it measures and
// then gets room again.
class FullDiskTest : public LightTest {
 protected:
  // Fills the disk, lets the tool measure for `full`, frees the disk, lets it
  // measure for `free` more, and kills it.
  Measured MeasureThroughFullDisk(const SmallDisk& disk, const std::string& tool,
                                  const std::string& log) const {
    disk.Fill();
    Child child(Command(tool), work_);
    std::this_thread::sleep_for(milliseconds(2600));
    disk.Free();
    const int status = child.StopAfter(milliseconds(3100));
    return {status, child.out(), child.err(), ReadFile(log)};
  }

  // Every line of the file is a whole line of the tool's layout, the file
  // starts with what it held before, and what the run added is the end of
  // what the console shows: lines came back once the disk had room.
  static void ExpectWholeLinesResumed(const Measured& run, const std::string& before) {
    ASSERT_TRUE(run.file.empty() || run.file.back() == '\n') << "a cut last line";
    ASSERT_EQ(run.file.compare(0, before.size(), before), 0) << "the file's old lines changed";
    const std::vector<std::string> added = Texts(Messages(run.file.substr(before.size()), "log"));
    const std::vector<std::string> console = Texts(Messages(run.out, ""));
    EXPECT_GE(Readings(added, "250.00"), 2) << "no lines after the disk had room";
    ASSERT_LT(added.size(), console.size()) << "lines the full disk had no room for";
    EXPECT_TRUE(std::equal(added.begin(), added.end(), console.end() - added.size()))
        << "the file's new lines are not the console's last ones";
    // The console kept every reading, one a second.
    EXPECT_GE(Readings(console, "250.00"), 5) << run.out;
    EXPECT_GE(ErrorReports(run.err), 1) << "the lost lines are reported";
    EXPECT_EQ(static_cast<int>(Lines(run.err).size()), ErrorReports(run.err)) << run.err;
  }
};

TEST_F(FullDiskTest, ADiskThatFillsUpLeavesOnlyWholeLinesAndLoggingComesBack) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  SmallDisk disk(fs::file_size(tool_) + 256 * 1024);
  REQUIRE_DISK(disk);
  const std::string bin = disk.path() + "/bin";
  fs::create_directories(bin);
  const std::string tool = CopyExecutable(tool_, bin);
  const std::string log = bin + "/logs/light_test.log";
  // The file ends 30 bytes short of a page: its next line gets only those
  // before the full disk refuses the rest.
  const std::string before = LayoutLines(2 * 4096 - 30);
  fs::create_directories(bin + "/logs");
  WriteFile(log, before);

  const Measured run = MeasureThroughFullDisk(disk, tool, log);

  EXPECT_EQ(run.status, 128 + 9);
  ExpectWholeLinesResumed(run, before);
}

TEST_F(FullDiskTest, ADiskFullWhenTheFileRotatesKeepsThreeWholeFiles) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  SmallDisk disk(fs::file_size(tool_) + kLimit + 512 * 1024);
  REQUIRE_DISK(disk);
  const std::string bin = disk.path() + "/bin";
  fs::create_directories(bin);
  const std::string tool = CopyExecutable(tool_, bin);
  const std::string logs = bin + "/logs";
  // The first line of the run is due to rotate the file.
  const std::string full = LayoutLines(kLimit - 20);
  fs::create_directories(logs);
  WriteFile(logs + "/light_test.log", full);
  WriteFile(logs + "/light_test.1.log", "previous\n");

  const Measured run = MeasureThroughFullDisk(disk, tool, logs + "/light_test.log");

  EXPECT_EQ(run.status, 128 + 9);
  EXPECT_EQ(ReadFile(logs + "/light_test.1.log"), full);
  EXPECT_EQ(ReadFile(logs + "/light_test.2.log"), "previous\n");
  EXPECT_FALSE(Exists(logs + "/light_test.3.log"));
  ExpectWholeLinesResumed(run, "");
}

// Whatever the sensor does, a reading is its count divided by 1.2, or 0.00
// right after an error line that says why.
struct SensorFault {
  const char* name;
  void (*apply)(SimulatedSensor&);
  const char* address;
  std::vector<std::string> readings;  // in order; the last one repeats
  const char* failure;                // the reason logged before each 0.00
};

class SensorFaultTest : public LightTest, public testing::WithParamInterface<SensorFault> {};

TEST_P(SensorFaultTest, GivesTheSpecifiedReadingsAndNeverAGarbageValue) {
  SimulatedSensor sensor;
  sensor.SetAddresses({0x23, 0x5C});
  sensor.SetCount(0x1234);
  GetParam().apply(sensor);

  const Measured run = MeasureFor(milliseconds(4200));

  const std::vector<std::string> texts = Texts(Messages(run.file, "log"));
  ASSERT_GE(texts.size(), 5U) << run.file;
  EXPECT_EQ(texts[1], std::string("Current I2C address: ") + GetParam().address);
  const std::vector<std::string>& expected = GetParam().readings;
  const std::string failure = std::string("Read /dev/i2c-0 at ") + GetParam().address +
                              " failed: " + (GetParam().failure ? GetParam().failure : "");
  std::size_t n = 0;
  for (std::size_t i = 2; i < texts.size(); ++i) {
    if (texts[i].rfind("Read ", 0) == 0) {
      EXPECT_EQ(texts[i], failure);
      continue;
    }
    const std::string& value = expected[std::min(n++, expected.size() - 1)];
    EXPECT_EQ(texts[i], "current illuminance: " + value) << "reading " << n;
    EXPECT_EQ(value == "0.00", texts[i - 1] == failure) << "reading " << n;
  }
  EXPECT_GE(n, 3U);
  EXPECT_EQ(Texts(Messages(run.out, "")), texts);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SensorFaultTest,
    testing::Values(SensorFault{"StopsAnswering",
                                [](SimulatedSensor& s) { s.FailReadsFrom(3); },
                                "0x23",
                                {"3883.33", "3883.33", "0.00"},
                                "Remote I/O error"},
                    SensorFault{"ShortReads",
                                [](SimulatedSensor& s) { s.ShortReadsFrom(2); },
                                "0x23",
                                {"3883.33", "0.00"},
                                "short read: 1 of 2 bytes"},
                    SensorFault{"RefusesTheFirstAddress",
                                [](SimulatedSensor& s) { s.RefuseSelection(0x23); },
                                "0x5c",
                                {"3883.33"},
                                nullptr}),
    [](const testing::TestParamInfo<SensorFault>& info) { return info.param.name; });

// A log directory the tool cannot use: it says why on standard error once
// and measures on the console alone.
TEST_F(LightTest, ALogsPathThatIsAFileLeavesTheConsoleMeasuring) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  WriteFile(bin_ + "/logs", "not a directory\n");

  const Measured run = MeasureFor(milliseconds(2600));

  EXPECT_EQ(run.status, 128 + 9);
  EXPECT_GE(Readings(Texts(Messages(run.out, "")), "250.00"), 2) << run.out;
  const std::vector<std::string> err = Lines(run.err);
  ASSERT_EQ(err.size(), 1U) << run.err;
  EXPECT_NE(err[0].find(log_), std::string::npos);
  EXPECT_NE(err[0].find("Not a directory"), std::string::npos);
}

TEST_F(LightTest, AnUnwritableDirectoryLeavesTheConsoleMeasuring) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  // Root writes anywhere: the tool then runs as nobody, and the emulated bus
  // has to be open to it.
  std::vector<std::string> command = Command(tool_);
  if (geteuid() == 0) {
    command.insert(command.begin(),
                   {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    for (const std::string& path : {dir_.path(), work_}) chmod(path.c_str(), 0777);
    for (const auto& entry : fs::recursive_directory_iterator(getenv("UMOCKDEV_DIR"))) {
      std::error_code links_have_no_mode;
      fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add, links_have_no_mode);
    }
    fs::permissions(getenv("UMOCKDEV_DIR"), fs::perms::all, fs::perm_options::add);
  }
  chmod(bin_.c_str(), 0555);

  Child child(command, work_);
  const int status = child.StopAfter(milliseconds(2600));
  chmod(bin_.c_str(), 0755);

  EXPECT_EQ(status, 128 + 9) << child.err();
  EXPECT_GE(Readings(Texts(Messages(child.out(), "")), "250.00"), 2) << child.out();
  const std::vector<std::string> err = Lines(child.err());
  ASSERT_EQ(err.size(), 1U) << child.err();
  EXPECT_NE(err[0].find(log_), std::string::npos);
  EXPECT_NE(err[0].find("Permission denied"), std::string::npos) << err[0];
}

}  // namespace
