// The receiver simulator as a black box: what a reader of its line gets for each option.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "integration/driver_process.h"

namespace drv::test {
namespace {

const std::string kSim = BuiltProgram("tools/receiver-sim/receiver-sim");

// The line as the driver's side sees it, cut at line feeds.
struct Received {
  std::vector<std::string> events;  // 15-byte lines starting with R, CR LF included
  std::vector<std::size_t> others;  // sizes of every other line, line feed included
};

Received Cut(const std::string& bytes) {
  Received r;
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\n') continue;
    const std::string line = bytes.substr(start, i + 1 - start);
    if (line.size() == 15 && line[0] == 'R') {
      r.events.push_back(line);
    } else {
      r.others.push_back(line.size());
    }
    start = i + 1;
  }
  return r;
}

// Reads the slave side until `bytes_wanted` have come or the line stays quiet for quiet_ms.
std::string ReadSlave(const std::string& path, std::size_t bytes_wanted, int quiet_ms = 3000) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  std::string bytes;
  while (bytes.size() < bytes_wanted) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, quiet_ms) != 1) break;
    char piece[4096];
    const ssize_t n = ::read(fd, piece, sizeof piece);
    if (n <= 0) break;
    bytes.append(piece, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

std::string DeviceOf(ChildProcess& sim) {
  const auto line = sim.WaitForText("device ", 5000);
  return line ? line->substr(7) : std::string();
}

struct SimCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> events;
  std::size_t other_lines;  // junk lines expected around the events
  std::size_t other_size;   // size of each of them
};

class ReceiverSimTest : public ::testing::TestWithParam<SimCase> {};

TEST_P(ReceiverSimTest, ReaderGetsExactlyTheLinesAsked) {
  const SimCase& c = GetParam();
  ChildProcess sim;
  std::vector<std::string> argv{kSim, "--hold", "--rate", "0"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  ASSERT_TRUE(sim.Start(argv));
  const std::string device = DeviceOf(sim);
  ASSERT_FALSE(device.empty());

  std::size_t total = c.other_lines * c.other_size;
  for (const auto& e : c.events) total += e.size();
  const Received got = Cut(ReadSlave(device, total));

  EXPECT_EQ(got.events, c.events);
  EXPECT_EQ(got.others, std::vector<std::size_t>(c.other_lines, c.other_size));
  EXPECT_EQ(sim.Stop(), 0);  // SIGTERM ends it through its handler
}

const std::string kA = "R A8000000167\r\n";
const std::string kB = "R A8000000267\r\n";
const std::string kC = "R A8000000367\r\n";

INSTANTIATE_TEST_SUITE_P(
    Options, ReceiverSimTest,
    ::testing::Values(
        SimCase{"CountingAccounts", {"--count", "3"}, {kA, kB, kC}, 0, 0},
        SimCase{"AccountAndCodeLists",
                {"--count", "3", "--account", "12345,00009", "--code", "67,E1"},
                {"R A8001234567\r\n", "R A80000009E1\r\n", "R A8001234567\r\n"},
                0,
                0},
        SimCase{"FirstAccount", {"--count", "2", "--first-account", "99999"},
                {"R A8009999967\r\n", "R A8000000067\r\n"}, 0, 0},
        SimCase{"GarbageBeforeEveryLine", {"--count", "3", "--garbage", "40"}, {kA, kB, kC}, 3, 40},
        SimCase{"LongLines", {"--count", "19", "--long-lines"},
                [] {
                  std::vector<std::string> v;
                  char text[16];
                  for (int i = 1; i <= 19; ++i) {
                    std::snprintf(text, sizeof text, "R A800%05d67\r\n", i);
                    v.push_back(text);
                  }
                  return v;
                }(),
                2, 1000},
        SimCase{"SplitWrites", {"--count", "3", "--split", "--split-ms", "1"}, {kA, kB, kC}, 0, 0},
        SimCase{"PauseDoesNotLoseLines", {"--count", "3", "--pause-every", "2", "--pause-ms", "100"}, {kA, kB, kC}, 0,
                0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReceiverSimFile, SendsTheFileLinesWithCrLf) {
  const std::string file = (std::filesystem::temp_directory_path() / "receiver-sim-lines.txt").string();
  {
    std::ofstream out(file, std::ios::binary);
    out << "R A8001234567\nhello\r\nR A800543210Z\n";
  }
  ChildProcess sim;
  ASSERT_TRUE(sim.Start({kSim, "--hold", "--rate", "0", "--file", file}));
  const std::string device = DeviceOf(sim);
  const std::string got = ReadSlave(device, 15 + 7 + 15);
  EXPECT_EQ(got, "R A8001234567\r\nhello\r\nR A800543210Z\r\n");
  sim.Stop();
  std::filesystem::remove(file);
}

TEST(ReceiverSimCount, EndsByItselfAfterTheCount) {
  ChildProcess sim;
  ASSERT_TRUE(sim.Start({kSim, "--rate", "0", "--count", "2", "--linger-ms", "0", "--verbose"}));
  ASSERT_FALSE(DeviceOf(sim).empty());
  sim.Drain(5000);
  EXPECT_EQ(sim.CountLines("line R A8000000"), 2);
  EXPECT_EQ(sim.Stop(), 0);
}

// A pulled adapter and a new one: the link path follows the new pseudo-terminal and the
// lines after the reopening arrive there.
TEST(ReceiverSimReopen, LinkFollowsTheNewDevice) {
  const std::string link = (std::filesystem::temp_directory_path() / "receiver-sim-link").string();
  ChildProcess sim;
  ASSERT_TRUE(sim.Start({kSim, "--hold", "--rate", "20", "--count", "4", "--pause-every", "2",
                                  "--pause-ms", "1000", "--close-after", "2", "--reopen-after-ms", "300",
                                  "--link", link}));
  const std::string first = DeviceOf(sim);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), first);
  EXPECT_EQ(Cut(ReadSlave(link, 30)).events, (std::vector<std::string>{kA, kB}));

  const std::string second = DeviceOf(sim);
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), second);
  EXPECT_EQ(Cut(ReadSlave(link, 30)).events, (std::vector<std::string>{kC, "R A8000000467\r\n"}));
  sim.Stop();
  std::filesystem::remove(link);
}

TEST(ReceiverSimOptions, RefusesBadOptions) {
  const std::vector<std::vector<std::string>> bad = {
      {"--count", "0"}, {"--account", "1234"}, {"--code", "ABC"}, {"--reopen-after-ms", "5"}, {"--nonsense"},
      {"--rate", "x"}};
  for (const auto& args : bad) {
    ChildProcess sim;
    std::vector<std::string> argv{kSim};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(sim.Start(argv, {.work_dir = "", .stderr_path = "/dev/null", .file_size_limit = 0}));
    sim.Drain(5000);
    EXPECT_EQ(sim.Stop(), 2) << args[0];
  }
}

}  // namespace
}  // namespace drv::test
