// End-to-end and fault tests of the built driver: the receiver simulator on a pty in front,
// the reference message server on loopback behind, each test in a work folder of its own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "integration/driver_process.h"
#include "integration/msgserver_process.h"
#include "support/hanging_port.h"
#include "wire/message_types.h"
#include "wire/event_record.h"

namespace drv::test {
namespace {

constexpr double kMsInDays = 1.0 / 86400000.0;

class DriverE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(driver_.ok());
    std::filesystem::create_directories(SpoolDir());
  }

  void TearDown() override {
    // Whatever the scenario did, the driver must still be running and end in order.
    if (driver_->running()) {
      EXPECT_EQ(driver_->Stop(), 0) << driver_->ending();
    }
    const std::string errors = driver_.Stderr();
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
  }

  // Operator log lines with `text`, after taking in what stdout holds now.
  int DriverSaid(const std::string& text) {
    driver_->Drain(200);
    return driver_->CountLines(text);
  }

  std::string SpoolDir() const { return driver_.WorkPath("spool"); }

  // The simulator on a pty of its own, holding its lines back until Go().
  std::string StartSim(const std::vector<std::string>& args) {
    std::vector<std::string> argv{BuiltProgram("tools/receiver-sim/receiver-sim"), "--wait-usr1", "--hold"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!sim_.Start(argv, {.work_dir = "", .stderr_path = driver_.WorkPath("sim-stderr.txt"), .file_size_limit = 0})) {
      return {};
    }
    const auto line = sim_.WaitForText("device ", 5000);
    config_.device = line ? line->substr(7) : std::string();
    return config_.device;
  }

  // Starts the driver and waits until it has opened its port, so no line is purged.
  bool StartDriver(uint64_t file_size_limit = 0) {
    driver_.WriteIni(MakeIni(config_));
    // stderr.txt keeps the lines of earlier runs: only a new one counts.
    const auto opened_runs = [&] {
      const std::string text = driver_.Stderr();
      std::size_t n = 0;
      for (auto at = text.find("headless: port COM1 open"); at != std::string::npos;
           at = text.find("headless: port COM1 open", at + 1)) {
        ++n;
      }
      return n;
    };
    const std::size_t earlier = opened_runs();
    if (!driver_.Start(file_size_limit)) return false;
    for (int i = 0; i < 500; ++i) {
      if (opened_runs() > earlier) return true;
      // Under a file-size limit stderr.txt stays short; the open device shows in /proc.
      std::error_code error;
      const std::string fds = "/proc/" + std::to_string(driver_->pid()) + "/fd";
      for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
        if (std::filesystem::read_symlink(fd.path(), error).string() == config_.device) return true;
      }
      ::poll(nullptr, 0, 20);
    }
    return false;
  }

  void Go() {
    sent_from_ = LocalNow();
    ::kill(sim_.pid(), SIGUSR1);
    sim_.WaitForText("go", 5000);
  }

  // Reads the server's lines into received_ until `done` holds; false after timeout_ms.
  bool Pump(MsgServerProcess& server, const std::function<bool()>& done, int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= until) return false;
      if (const auto line = server.ReadLine(100)) TakeServerLine(*line);
    }
    return true;
  }
  // Takes in what the server still prints until it has been quiet for quiet_ms.
  void PumpQuiet(MsgServerProcess& server, int quiet_ms = 500) {
    while (const auto line = server.ReadLine(quiet_ms)) TakeServerLine(*line);
  }
  // A message counts as received only once the server has answered it: one it read and then
  // left unanswered (hung, crashed, dropped) is exactly what the driver must send again.
  void TakeServerLine(const std::string& line) {
    if (line == "unanswered") {
      if (!received_.empty()) received_.pop_back();
      return;
    }
    if (auto m = ParseServerLine(line)) received_.push_back(std::move(*m));
  }

  bool StartServer(MsgServerProcess& server, const std::vector<std::string>& args = {}) {
    std::vector<std::string> all{"--port", std::to_string(config_.server_port)};
    all.insert(all.end(), args.begin(), args.end());
    return server.Start(all);
  }

  // Accounts delivered so far, as event records of either kind.
  std::set<int32_t> DeliveredAccounts() const {
    std::set<int32_t> accounts;
    for (const auto& m : received_) {
      if ((m.type == "mtEvent" || m.type == "mtStoredEvent") && m.payload.size() >= 4) {
        accounts.insert(static_cast<int32_t>(GetLe32(m.payload.data())) - config_.first_number * 10000);
      }
    }
    return accounts;
  }

  std::size_t EventSpoolFiles() const {
    std::size_t n = 0;
    for (const auto& f : SpoolFiles(SpoolDir())) n += std::filesystem::file_size(f) == 24 ? 1 : 0;
    return n;
  }

  std::function<bool()> AllDeliveredAndSpoolEmpty(std::size_t count) {
    return [this, count] { return DeliveredAccounts().size() >= count && SpoolFiles(SpoolDir()).empty(); };
  }

  // Every accepted line was answered by the server, live or from the spool (a spooled one
  // perhaps more than once, and one whose answer was lost perhaps both ways), with the record
  // bytes the line asks for; nothing else arrived as an event.
  void ExpectDeliveredExactly(const std::vector<std::string>& lines) {
    std::map<int32_t, std::string> by_account;
    for (const auto& line : lines) by_account[std::stoi(line.substr(6, 5))] = line;
    std::map<int32_t, int> live, stored;
    for (const auto& m : received_) {
      if (m.type != "mtEvent" && m.type != "mtStoredEvent") continue;
      ASSERT_EQ(m.payload.size(), TEventRecord::kSize) << m.type;
      const int32_t account = static_cast<int32_t>(GetLe32(m.payload.data())) - config_.first_number * 10000;
      const auto line = by_account.find(account);
      ASSERT_NE(line, by_account.end()) << "an event nobody sent: account " << account;
      (m.type == "mtEvent" ? live : stored)[account]++;
      ExpectRecordOf(line->second, m);
    }
    for (const auto& [account, line] : by_account) {
      SCOPED_TRACE("account " + std::to_string(account));
      EXPECT_LE(live[account], 1) << "a live event answered twice";
      EXPECT_GE(live[account] + stored[account], 1) << "lost";
    }
  }

  void ExpectRecordOf(const std::string& line, const ServerMessage& m) {
    const auto& p = m.payload;
    const int32_t object = config_.first_number * 10000 + std::stoi(line.substr(6, 5));
    std::vector<uint8_t> head(11, 0);
    PutLe32(&head[0], static_cast<uint32_t>(object));
    head[4] = 2;
    head[5] = static_cast<uint8_t>(line[11]);
    head[6] = static_cast<uint8_t>(line[12]);
    head[9] = static_cast<uint8_t>(line[3] - '0');
    head[10] = static_cast<uint8_t>(std::stoi(line.substr(4, 2)));
    EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 11), head) << line;
    EXPECT_EQ(p[19], 0x27);
    const double stamp = GetDouble(&p[11]);
    EXPECT_GE(stamp, sent_from_ - 5 * kMsInDays);
    EXPECT_LE(stamp, m.received + 5 * kMsInDays);
  }

  std::vector<std::string> AcceptedLines() const { return EventLinesInHexLog(driver_.WorkPath("drvlarna.log")); }

  int CountReceived(const std::string& type) const {
    int n = 0;
    for (const auto& m : received_) n += m.type == type ? 1 : 0;
    return n;
  }

  // Waits until `condition` holds, polling; false after timeout_ms.
  static bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
    for (int waited = 0; !condition(); waited += 50) {
      if (waited >= timeout_ms) return false;
      ::poll(nullptr, 0, 50);
    }
    return true;
  }

  DriverProcess driver_;
  ChildProcess sim_;
  DriverConfig config_;
  std::vector<ServerMessage> received_;
  double sent_from_ = 0;
};

// The simulator's line for an account with the default code.
std::string SimLine(int account) {
  char text[16];
  std::snprintf(text, sizeof text, "R A800%05d67\r\n", account);
  return text;
}

std::vector<std::string> SimLines(int first, int count) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) lines.push_back(SimLine(first + i));
  return lines;
}


// A live run: the greeting in its order, events at a steady rate, keep-alives while idle.
TEST_F(DriverE2eTest, LiveDeliveryAtASteadyRate) {
  config_.server_port = FreeLoopbackPort();
  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server));
  ASSERT_FALSE(StartSim({"--rate", "20", "--count", "100"}).empty());
  ASSERT_TRUE(StartDriver());
  ASSERT_TRUE(Pump(server, [&] { return CountReceived("mtVersion") == 1; }, 10000));
  Go();
  ASSERT_TRUE(Pump(server, [&] { return DeliveredAccounts().size() == 100; }, 30000));
  const std::size_t events_end = received_.size();
  ASSERT_TRUE(Pump(server, [&] { return CountReceived("mtKeepAlive") >= 3 && received_.size() > events_end + 2; },
                   10000));

  ASSERT_GE(received_.size(), 4u);
  const std::vector<std::string> greeting{received_[0].type, received_[1].type, received_[2].type,
                                          received_[3].type};
  EXPECT_EQ(greeting, (std::vector<std::string>{"mtHello", "mtPortState", "mtFirstNumber", "mtVersion"}));
  EXPECT_EQ(received_[0].payload, (std::vector<uint8_t>{0x40, 0x00}));
  EXPECT_EQ(received_[1].payload, (std::vector<uint8_t>{4, 'C', 'O', 'M', '1', 0, 0, 1}));
  EXPECT_EQ(received_[2].payload, (std::vector<uint8_t>{0x1F}));
  EXPECT_EQ(received_[3].payload, (std::vector<uint8_t>{8, 0, 15, 0, 3, 0, 15, 0}));
  EXPECT_EQ(CountReceived("mtStoredEvent"), 0);
  EXPECT_EQ(received_.back().type, "mtKeepAlive");
  EXPECT_EQ(AcceptedLines(), SimLines(1, 100));
  ExpectDeliveredExactly(SimLines(1, 100));
  EXPECT_TRUE(SpoolFiles(SpoolDir()).empty());
  EXPECT_EQ(DriverSaid("Соединение установлено."), 1);
}

// Without a server link every accepted line is a 24-byte spool file and every station-link
// change a 15-byte one; nothing goes over TCP.
TEST_F(DriverE2eTest, WithoutServerLinkEverythingIsSpooled) {
  config_.server_port = FreeLoopbackPort();
  config_.send_k8 = false;
  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server));
  ASSERT_FALSE(StartSim({"--rate", "0", "--count", "20"}).empty());
  ASSERT_TRUE(StartDriver());
  // The receiver has said nothing since start-up: the first supervision tick reports it lost.
  ASSERT_TRUE(WaitUntil([&] { return SpoolFiles(SpoolDir()).size() == 1; }, 5000));
  Go();
  ASSERT_TRUE(WaitUntil([&] { return EventSpoolFiles() == 20; }, 10000)) << EventSpoolFiles();
  ASSERT_TRUE(WaitUntil([&] { return SpoolFiles(SpoolDir()).size() >= 22; }, 5000));  // lost, then restored

  std::vector<std::string> lines;
  std::vector<ServerMessage> link_states;
  for (const auto& file : SpoolFiles(SpoolDir())) {
    const std::string bytes = ReadWholeFile(file.string());
    ServerMessage m;
    m.payload.assign(bytes.begin() + 4, bytes.end());
    m.received = LocalNow();
    const uint32_t type = GetLe32(reinterpret_cast<const uint8_t*>(bytes.data()));
    if (bytes.size() == 24) {
      EXPECT_EQ(type, mtStoredEvent) << file;
      m.type = "mtStoredEvent";
      received_.push_back(m);
    } else {
      ASSERT_EQ(bytes.size(), 15u) << file;
      EXPECT_EQ(type, mtLinkState) << file;
      link_states.push_back(m);
    }
  }
  ExpectDeliveredExactly(SimLines(1, 20));
  ASSERT_EQ(link_states.size(), 2u);
  std::set<uint8_t> states;
  for (const auto& m : link_states) {
    EXPECT_EQ(m.payload[0], 0x1F);
    EXPECT_EQ(m.payload[1], 31);
    states.insert(m.payload[10]);
  }
  EXPECT_EQ(states, (std::set<uint8_t>{0, 1}));
  EXPECT_FALSE(server.ReadLine(500).has_value()) << "the server heard from a driver without a link";
  EXPECT_EQ(DriverSaid("Соединение"), 0);
}

// The server goes away while lines arrive, the driver is killed during the outage and
// started again, then the server returns: nothing the driver took in is lost.
TEST_F(DriverE2eTest, OutageAndDriverCrashLoseNothing) {
  config_.server_port = FreeLoopbackPort();
  auto server = std::make_unique<MsgServerProcess>();
  ASSERT_TRUE(StartServer(*server));
  // Bursts of 20 lines with 3 s of silence between them give room for each step below.
  ASSERT_FALSE(StartSim({"--rate", "20", "--count", "80", "--pause-every", "20", "--pause-ms", "3000"}).empty());
  ASSERT_TRUE(StartDriver());
  ASSERT_TRUE(Pump(*server, [&] { return CountReceived("mtVersion") == 1; }, 10000));
  Go();
  ASSERT_TRUE(Pump(*server, [&] { return DeliveredAccounts().size() == 20; }, 10000));
  PumpQuiet(*server, 200);
  server->Kill();

  ASSERT_TRUE(WaitUntil([&] { return EventSpoolFiles() >= 20; }, 10000)) << EventSpoolFiles();
  driver_->Kill();
  EXPECT_EQ(driver_->ending(), "signal 9");
  ASSERT_TRUE(StartDriver());
  ASSERT_TRUE(WaitUntil([&] { return EventSpoolFiles() >= 40; }, 10000)) << EventSpoolFiles();

  server = std::make_unique<MsgServerProcess>();
  ASSERT_TRUE(StartServer(*server));
  ASSERT_TRUE(Pump(*server, AllDeliveredAndSpoolEmpty(80), 60000))
      << DeliveredAccounts().size() << " delivered, " << SpoolFiles(SpoolDir()).size() << " files left";
  EXPECT_EQ(AcceptedLines(), SimLines(1, 80));
  ExpectDeliveredExactly(SimLines(1, 80));
  EXPECT_GE(CountReceived("mtStoredEvent"), 40);
}

struct BadServerCase {
  const char* name;
  std::vector<std::string> args;  // the misbehaviour; the first 4 frames are the greeting
  const char* awaited;            // stdout text the driver must show, or nullptr
  bool denied;                    // the link stays down until the driver is started again
};

class BadServerTest : public DriverE2eTest, public ::testing::WithParamInterface<BadServerCase> {};

// Whatever the server does wrong, the driver keeps running, recovers by its rules, and every
// line it took in reaches a well-behaved server on the same port afterwards.
TEST_P(BadServerTest, DriverRecoversAndDeliversEverything) {
  const BadServerCase& c = GetParam();
  config_.server_port = FreeLoopbackPort();
  MsgServerProcess bad;
  ASSERT_TRUE(StartServer(bad, c.args));
  ASSERT_FALSE(StartSim({"--rate", "5", "--count", "10"}).empty());
  ASSERT_TRUE(StartDriver());
  Go();
  if (c.awaited != nullptr) {
    // The bad server's output is read on the way so that it never blocks on a full pipe.
    // The line may already have been read while the driver was starting.
    ASSERT_TRUE(Pump(bad, [&] { return driver_->CountLines(c.awaited) > 0 || driver_->WaitForText(c.awaited, 50); }, 40000))
        << "no \"" << c.awaited << "\"";
  }
  ASSERT_TRUE(Pump(bad, [&] { return AcceptedLines().size() == 10; }, 20000));
  PumpQuiet(bad);
  bad.Stop();

  if (c.denied) {
    driver_->Drain(6000);  // longer than the pause between two attempts
    EXPECT_EQ(driver_->CountLines("Доступ запрещен."), 1);
    const auto& lines = driver_->lines();
    const auto denied_at = std::find_if(lines.begin(), lines.end(),
                                        [](const std::string& l) { return l.find("Доступ запрещен.") != l.npos; });
    EXPECT_EQ(std::count_if(denied_at, lines.end(), [](const std::string& l) { return l.find("Соединение...") != l.npos; }),
              0) << "a connection attempt after the denial";
    ASSERT_EQ(driver_->Stop(), 0);
    ASSERT_TRUE(StartDriver());
  }
  MsgServerProcess good;
  ASSERT_TRUE(StartServer(good));
  ASSERT_TRUE(Pump(good, AllDeliveredAndSpoolEmpty(10), 40000))
      << DeliveredAccounts().size() << " delivered, " << SpoolFiles(SpoolDir()).size() << " files left";
  EXPECT_EQ(AcceptedLines(), SimLines(1, 10));
  ExpectDeliveredExactly(SimLines(1, 10));
  EXPECT_TRUE(driver_->running());
}

INSTANTIATE_TEST_SUITE_P(
    Misbehaviour, BadServerTest,
    ::testing::Values(
        BadServerCase{"Silent", {"--silent"}, "Ошибки по сети - переподсоединение.", false},
        BadServerCase{"BadFrameMark", {"--bad-mark-after", "5"}, nullptr, false},
        // One absurd length is a failed read; the next reply, coming at once, resets the count.
        BadServerCase{"HugeLength", {"--huge-length-after", "5"}, nullptr, false},
        BadServerCase{"CutBody", {"--cut-body-after", "5"}, "Ошибки по сети - переподсоединение.", false},
        BadServerCase{"Disconnect", {"--command", "disconnect", "--after", "5"},
                      "Сервер дал команду на рассоединение.", false},
        BadServerCase{"DropLink", {"--command", "droplink", "--after", "5"}, nullptr, false},
        BadServerCase{"AccessDenied", {"--command", "accessdenied", "--after", "5"}, "Доступ запрещен.", true}),
    [](const auto& info) { return std::string(info.param.name); });

// mtPoll is answered with mtPollAnswer, and the events go on undisturbed.
TEST_F(DriverE2eTest, PollIsAnswered) {
  config_.server_port = FreeLoopbackPort();
  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server, {"--poll-every", "3"}));
  ASSERT_FALSE(StartSim({"--rate", "10", "--count", "10"}).empty());
  ASSERT_TRUE(StartDriver());
  Go();
  ASSERT_TRUE(Pump(server, [&] { return DeliveredAccounts().size() == 10 && CountReceived("mtPollAnswer") >= 3; },
                   20000));
  ExpectDeliveredExactly(SimLines(1, 10));
  EXPECT_EQ(CountReceived("mtStoredEvent"), 0);
  EXPECT_EQ(DriverSaid("Соединение..."), 1);
}

// Junk between lines, 1000-byte lines and lines split over packets leave exactly the valid
// lines; silence longer than Attention is reported lost, and the next data restored.
TEST_F(DriverE2eTest, NoisyReceiverAndSilence) {
  config_.server_port = FreeLoopbackPort();
  config_.attention = "00:00:02";
  config_.first_number = 300;  // the link-state record carries its low byte, 0x2C
  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server));
  ASSERT_FALSE(StartSim({"--rate", "4", "--count", "12", "--garbage", "30", "--long-lines", "--split", "--split-ms",
                         "300", "--pause-every", "6", "--pause-ms", "3500"})
                   .empty());
  const double started = LocalNow();
  ASSERT_TRUE(StartDriver());
  ASSERT_TRUE(Pump(server, [&] { return CountReceived("mtLinkState") == 1; }, 10000));
  Go();
  ASSERT_TRUE(Pump(server, [&] { return DeliveredAccounts().size() == 12 && CountReceived("mtLinkState") >= 4; },
                   30000));
  PumpQuiet(server, 300);
  EXPECT_EQ(AcceptedLines(), SimLines(1, 12));
  ExpectDeliveredExactly(SimLines(1, 12));

  std::vector<int> states;
  for (const auto& m : received_) {
    if (m.type != "mtLinkState") continue;
    ASSERT_EQ(m.payload.size(), 11u);
    EXPECT_EQ(m.payload[0], 0x1F);
    EXPECT_EQ(m.payload[1], 0x2C);
    const double stamp = GetDouble(&m.payload[2]);
    EXPECT_GE(stamp, started - 5 * kMsInDays);
    EXPECT_LE(stamp, m.received + 5 * kMsInDays);
    states.push_back(m.payload[10]);
  }
  // Lost at start-up (no data yet), restored, lost in the pause, restored.
  EXPECT_EQ(states, (std::vector<int>{1, 0, 1, 0}));
}

// The spool folder of the README's example does not exist yet, and is removed again while the
// driver runs: it is made each time, and with the server down every event is in the spool.
TEST_F(DriverE2eTest, MissingSpoolFolderIsCreated) {
  config_.server_port = FreeLoopbackPort();  // no server: everything goes to the spool
  std::filesystem::remove_all(SpoolDir());
  ASSERT_FALSE(StartSim({"--rate", "20", "--count", "20", "--pause-every", "10", "--pause-ms", "1500"}).empty());
  ASSERT_TRUE(StartDriver());
  ASSERT_TRUE(driver_->WaitForText("Создана папка спула: ", 5000));
  ASSERT_TRUE(std::filesystem::is_directory(SpoolDir()));
  std::filesystem::remove_all(SpoolDir());
  Go();
  ASSERT_TRUE(WaitUntil([&] { return EventSpoolFiles() == 20; }, 15000)) << EventSpoolFiles();
  EXPECT_EQ(DriverSaid("Создана папка спула: "), 2);
  EXPECT_EQ(DriverSaid("Не удалось записать файл спула"), 0);
  ASSERT_EQ(driver_->Stop(), 0);
  for (const auto& file : SpoolFiles(SpoolDir())) {
    const std::string bytes = ReadWholeFile(file.string());
    if (bytes.size() != 24) continue;
    ServerMessage m{.type = "mtStoredEvent", .payload = {bytes.begin() + 4, bytes.end()}, .received = LocalNow()};
    received_.push_back(m);
  }
  ExpectDeliveredExactly(SimLines(1, 20));
}

// A full disk, simulated by a file-size limit on the driver: the records are held in memory,
// no partial spool file is left to be sent, and all of them are written once the limit is lifted.
TEST_F(DriverE2eTest, FullDiskHoldsRecordsUntilTheyCanBeWritten) {
  config_.server_port = FreeLoopbackPort();
  config_.log = false;  // the hex log would hit the limit first and stop the line protocol
  ASSERT_FALSE(StartSim({"--rate", "10", "--count", "10"}).empty());
  // The limit comes once the port is open: the port's lock file is larger than a spool file.
  ASSERT_TRUE(StartDriver(/*file_size_limit=*/1 << 20));
  const rlimit full{16, 1 << 20};  // the soft limit only, so that it can be lifted again
  ASSERT_EQ(::prlimit(driver_->pid(), RLIMIT_FSIZE, &full, nullptr), 0) << std::strerror(errno);
  Go();
  if (!driver_->WaitForText("Не удалось записать файл спула", 10000)) {
    GTEST_SKIP() << "a file-size limit does not stop writes on this machine";
  }
  ::poll(nullptr, 0, 1500);  // all ten lines have come by now
  // Station-link records (15 bytes) would fit under the limit, but they queue behind the held
  // events; no partial file may be there.
  for (const auto& file : SpoolFiles(SpoolDir())) {
    EXPECT_EQ(std::filesystem::file_size(file), 15u) << "a partial spool file was left: " << file;
  }
  EXPECT_EQ(DriverSaid("Не удалось записать файл спула"), 1);

  const rlimit unlimited{1 << 20, 1 << 20};
  ASSERT_EQ(::prlimit(driver_->pid(), RLIMIT_FSIZE, &unlimited, nullptr), 0) << std::strerror(errno);
  ASSERT_TRUE(WaitUntil([&] { return EventSpoolFiles() == 10; }, 10000)) << EventSpoolFiles();
  EXPECT_EQ(DriverSaid("Спул снова записывается"), 1);
  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server));
  ASSERT_TRUE(Pump(server, AllDeliveredAndSpoolEmpty(10), 30000));
  ExpectDeliveredExactly(SimLines(1, 10));
}

// A spool on a small file system that fills during an outage: nothing is lost, and every
// event is in the spool once there is room again.
TEST_F(DriverE2eTest, FullSpoolFileSystemHoldsRecordsUntilThereIsRoom) {
  config_.server_port = FreeLoopbackPort();
  const std::string spool = SpoolDir();
  if (::mount("tmpfs", spool.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "no small tmpfs for the spool (mount: " << std::strerror(errno) << ")";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{spool};
  // Filled to the last page before the outage's events come.
  const std::string filler = spool + "/filler";
  const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const std::vector<char> block(4096, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  ::close(fd);

  ASSERT_FALSE(StartSim({"--rate", "20", "--count", "40"}).empty());
  ASSERT_TRUE(StartDriver());
  Go();
  ASSERT_TRUE(WaitUntil([&] { return AcceptedLines().size() == 40; }, 10000)) << AcceptedLines().size();
  EXPECT_EQ(EventSpoolFiles(), 0u);
  EXPECT_EQ(DriverSaid("записи хранятся в памяти"), 1);

  std::filesystem::remove(filler);
  ASSERT_TRUE(WaitUntil([&] { return EventSpoolFiles() == 40; }, 10000)) << EventSpoolFiles();
  EXPECT_EQ(DriverSaid("Спул снова записывается"), 1);
  ASSERT_EQ(driver_->Stop(), 0);
  for (const auto& file : SpoolFiles(spool)) {
    const std::string bytes = ReadWholeFile(file.string());
    if (bytes.size() != 24) continue;
    received_.push_back({.type = "mtStoredEvent", .payload = {bytes.begin() + 4, bytes.end()}, .received = LocalNow()});
  }
  ExpectDeliveredExactly(SimLines(1, 40));
}

struct EndingCase {
  const char* name;
  int signal;
  bool server_up;
  int delay_ms;  // from the line's write to the signal
};

class DriverEndingTest : public DriverE2eTest, public ::testing::WithParamInterface<EndingCase> {};

// One line, then an ending signal before its packet's 200 ms are over: the driver stops in
// order, and the event reaches the server or the spool.
TEST_P(DriverEndingTest, StopsCleanlyKeepingTheLineJustReceived) {
  const EndingCase& c = GetParam();
  config_.server_port = FreeLoopbackPort();
  MsgServerProcess server;
  if (c.server_up) ASSERT_TRUE(StartServer(server));
  ASSERT_FALSE(StartSim({"--rate", "0", "--count", "1"}).empty());
  ASSERT_TRUE(StartDriver());
  if (c.server_up) ASSERT_TRUE(Pump(server, [&] { return CountReceived("mtVersion") == 1; }, 10000));
  Go();
  ::poll(nullptr, 0, c.delay_ms);
  EXPECT_EQ(driver_->EndWith(c.signal), 0) << driver_->ending();
  EXPECT_NE(driver_.Stderr().find("drvlarna stopped"), std::string::npos);
  if (c.server_up) PumpQuiet(server, 300);

  EXPECT_EQ(AcceptedLines(), SimLines(1, 1));
  const bool delivered = DeliveredAccounts().count(1) == 1;
  EXPECT_TRUE(delivered || EventSpoolFiles() == 1)
      << "the event is neither at the server nor in the spool (" << EventSpoolFiles() << " files)";
  if (!c.server_up) EXPECT_EQ(EventSpoolFiles(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, DriverEndingTest,
    ::testing::Values(EndingCase{"TermServerUp20", SIGTERM, true, 20}, EndingCase{"TermServerUp180", SIGTERM, true, 180},
                      EndingCase{"TermServerDown20", SIGTERM, false, 20},
                      EndingCase{"TermServerDown120", SIGTERM, false, 120}, EndingCase{"Hup", SIGHUP, false, 60},
                      EndingCase{"Quit", SIGQUIT, true, 100}, EndingCase{"Int", SIGINT, false, 150}),
    [](const auto& info) { return std::string(info.param.name); });

// kill -9 at random moments while events are spooled fast with the server down, then a
// restart with the server up: every event that reached the port more than half a second before
// a kill, and every whole record a kill left in a temporary file, is delivered or still in the
// spool for delivery.
TEST_F(DriverE2eTest, KillsDuringFastSpoolingLoseNothingThatReachedThePortInTime) {
  config_.server_port = FreeLoopbackPort();
  ASSERT_FALSE(StartSim({"--rate", "40", "--count", "100000", "--verbose"}).empty());
  const auto account_of = [](const std::string& line) -> std::optional<int> {
    const auto at = line.find("R A800");
    if (!line.starts_with("line ") || at == std::string::npos) return std::nullopt;
    return std::stoi(line.substr(at + 6, 5));
  };
  const auto event_account = [&](const std::string& bytes) -> std::optional<int> {
    if (bytes.size() != 24 || GetLe32(reinterpret_cast<const uint8_t*>(bytes.data())) != mtStoredEvent) {
      return std::nullopt;
    }
    return static_cast<int32_t>(GetLe32(reinterpret_cast<const uint8_t*>(bytes.data()) + 4)) -
           config_.first_number * 10000;
  };
  // What the simulator has written and the test has not read yet was sent before now.
  const auto drain_sim = [&] {
    while (sim_.ReadLine(0)) {
    }
  };
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> run_ms(1000, 2000);
  std::set<int> expected;
  int whole_temps = 0;
  ASSERT_TRUE(StartDriver());
  Go();
  double opened = LocalNow();
  for (int kill = 0; kill < 4; ++kill) {
    std::vector<std::pair<int, double>> sent;  // account, when read (never before its write)
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(run_ms(random));
    while (std::chrono::steady_clock::now() < until) {
      if (const auto line = sim_.ReadLine(10)) {
        if (const auto account = account_of(*line)) sent.emplace_back(*account, LocalNow());
      }
    }
    // The kill comes while a spool file is being made when it can: just after the write of a
    // temporary file, while it is flushed to disk and before it is given its name.
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ::inotify_add_watch(watch, SpoolDir().c_str(), IN_MODIFY);
    for (bool writing = false; !writing;) {
      pollfd p{watch, POLLIN, 0};
      if (::poll(&p, 1, 1000) != 1) break;
      alignas(inotify_event) char events[4096];
      const ssize_t n = ::read(watch, events, sizeof events);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        writing = writing || (event->len > 0 && std::string(event->name).ends_with(".tmp"));
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    driver_->Kill();
    ::close(watch);
    const double killed = LocalNow();
    // The port is purged when it opens, and the packetiser may still hold the last 200 ms.
    for (const auto& [account, when] : sent) {
      if (when > opened + 300 * kMsInDays && when < killed - 500 * kMsInDays) expected.insert(account);
    }
    for (const auto& entry : std::filesystem::directory_iterator(SpoolDir())) {
      if (entry.path().extension() != ".tmp") continue;
      if (const auto account = event_account(ReadWholeFile(entry.path().string()))) {
        expected.insert(*account);
        ++whole_temps;
      }
    }
    drain_sim();
    ASSERT_TRUE(StartDriver());
    drain_sim();
    opened = LocalNow();
  }
  ASSERT_EQ(driver_->Stop(), 0) << driver_->ending();
  ASSERT_GT(expected.size(), 40u);
  std::printf("%zu events expected, %d of them from whole temporary files a kill left\n", expected.size(),
              whole_temps);

  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server));
  ASSERT_TRUE(StartDriver());
  std::vector<int> missing;
  const auto all_kept = [&] {
    std::set<int32_t> kept = DeliveredAccounts();
    for (const auto& file : SpoolFiles(SpoolDir())) {
      if (const auto account = event_account(ReadWholeFile(file.string()))) kept.insert(*account);
    }
    missing.clear();
    std::set_difference(expected.begin(), expected.end(), kept.begin(), kept.end(), std::back_inserter(missing));
    return missing.empty() && CountReceived("mtStoredEvent") > 0;
  };
  EXPECT_TRUE(Pump(server, all_kept, 20000))
      << missing.size() << " of " << expected.size() << " lost, first account " << (missing.empty() ? -1 : missing[0]);
}

// The server stays connected but stops answering (a pulled cable, a hung process) while
// lines arrive: nothing it read and never answered is lost.
TEST_F(DriverE2eTest, SilentServerLosesNothing) {
  config_.server_port = FreeLoopbackPort();
  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server));
  ASSERT_FALSE(StartSim({"--rate", "2", "--count", "24"}).empty());
  ASSERT_TRUE(StartDriver());
  ASSERT_TRUE(Pump(server, [&] { return CountReceived("mtVersion") == 1; }, 10000));
  Go();
  ASSERT_TRUE(Pump(server, [&] { return DeliveredAccounts().size() >= 2; }, 10000));
  ::kill(server.pid(), SIGUSR1);  // silent from now on
  Pump(server, [] { return false; }, 8000);
  ::kill(server.pid(), SIGUSR1);
  ASSERT_TRUE(Pump(server, AllDeliveredAndSpoolEmpty(24), 40000))
      << DeliveredAccounts().size() << " delivered, " << SpoolFiles(SpoolDir()).size() << " files left";
  EXPECT_EQ(AcceptedLines(), SimLines(1, 24));
  ExpectDeliveredExactly(SimLines(1, 24));
  EXPECT_GE(CountReceived("mtStoredEvent"), 1);
  EXPECT_GE(DriverSaid("Ошибки по сети - переподсоединение."), 1);
}

// Faults of a server that reads an event and never answers it, and of one that answers too
// slowly to ever finish: the event comes again, from the spool.
struct LostReplyCase {
  const char* name;
  std::vector<std::string> args;  // frame 5 is the first event after the greeting
};

class LostReplyTest : public DriverE2eTest, public ::testing::WithParamInterface<LostReplyCase> {};

TEST_P(LostReplyTest, TheEventComesAgain) {
  const LostReplyCase& c = GetParam();
  config_.server_port = FreeLoopbackPort();
  MsgServerProcess bad;
  ASSERT_TRUE(StartServer(bad, c.args));
  ASSERT_FALSE(StartSim({"--rate", "4", "--count", "8"}).empty());
  ASSERT_TRUE(StartDriver());
  Go();
  ASSERT_TRUE(Pump(bad, [&] { return AcceptedLines().size() == 8; }, 20000));
  // The driver gives up on the reply within its own limit, whatever the server does, and
  // tries a new connection.
  ASSERT_TRUE(Pump(bad, [&] { return DriverSaid("Соединение...") >= 2; }, 15000));
  bad.Kill();
  MsgServerProcess good;
  ASSERT_TRUE(StartServer(good));
  ASSERT_TRUE(Pump(good, AllDeliveredAndSpoolEmpty(8), 40000))
      << DeliveredAccounts().size() << " delivered, " << SpoolFiles(SpoolDir()).size() << " files left";
  ExpectDeliveredExactly(SimLines(1, 8));
}

INSTANTIATE_TEST_SUITE_P(Servers, LostReplyTest,
                         ::testing::Values(LostReplyCase{"CrashAfterReading", {"--crash-after", "5"}},
                                           LostReplyCase{"DrippingReply", {"--drip-after", "5"}},
                                           LostReplyCase{"ClosesUnanswered", {"--silent-after", "4", "--close-after", "5"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// A message the server drops the connection on, every time: set aside after three tries, with
// an operator line, while everything else goes through.
TEST_F(DriverE2eTest, PoisonMessageIsSetAsideAndTheRestGoesThrough) {
  config_.server_port = FreeLoopbackPort();
  const int poison_account = 3;
  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server, {"--poison-object", std::to_string(config_.first_number * 10000 + poison_account)}));
  ASSERT_FALSE(StartSim({"--rate", "4", "--count", "6"}).empty());
  ASSERT_TRUE(StartDriver());
  Go();
  ASSERT_TRUE(Pump(server, [&] { return DriverSaid("Файл спула отложен") == 1; }, 60000));
  ASSERT_TRUE(Pump(server, [&] { return DeliveredAccounts().size() == 5 && SpoolFiles(SpoolDir()).empty(); }, 30000));
  EXPECT_EQ(DeliveredAccounts(), (std::set<int32_t>{1, 2, 4, 5, 6}));
  std::vector<std::filesystem::path> set_aside;
  for (const auto& entry : std::filesystem::directory_iterator(SpoolDir())) {
    if (entry.path().string().find(".dd8.bad") != std::string::npos) set_aside.push_back(entry.path());
  }
  ASSERT_EQ(set_aside.size(), 1u);
  const std::string bytes = ReadWholeFile(set_aside[0].string());
  ASSERT_EQ(bytes.size(), 24u);
  EXPECT_EQ(GetLe32(reinterpret_cast<const uint8_t*>(bytes.data()) + 4),
            static_cast<uint32_t>(config_.first_number * 10000 + poison_account));
  driver_->Drain(200);
  EXPECT_NE(driver_->CountLines(set_aside[0].filename().string()), 0) << "the line names the file";
}

// Many lines while the server is away: the new connection still greets first, and the
// backlog drains behind the greeting.
TEST_F(DriverE2eTest, BacklogAtReconnectionStillGreetsFirst) {
  config_.server_port = FreeLoopbackPort();
  ASSERT_FALSE(StartSim({"--rate", "100", "--count", "150"}).empty());
  ASSERT_TRUE(StartDriver());
  Go();
  ASSERT_TRUE(WaitUntil([&] { return EventSpoolFiles() == 150; }, 20000)) << EventSpoolFiles();
  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server));
  ASSERT_TRUE(Pump(server, AllDeliveredAndSpoolEmpty(150), 60000))
      << DeliveredAccounts().size() << " delivered, " << SpoolFiles(SpoolDir()).size() << " files left";
  ASSERT_GE(received_.size(), 4u);
  EXPECT_EQ(received_[0].type, "mtHello");
  ExpectDeliveredExactly(SimLines(1, 150));
  ASSERT_TRUE(Pump(server, [&] { return CountReceived("mtKeepAlive") >= 2; }, 10000)) << "never accepted";
}

// While the server cannot be reached and every connect hangs to its time-out, nothing waits
// in memory: what reached the port is on disk, whatever ends the driver.
struct UnreachableEndCase {
  const char* name;
  int signal;
  bool clean;  // an orderly stop, which also takes in the packet still being collected
};

class UnreachableServerEnd : public DriverE2eTest, public ::testing::WithParamInterface<UnreachableEndCase> {};

TEST_P(UnreachableServerEnd, LinesAreOnDisk) {
  const UnreachableEndCase& c = GetParam();
  config_.server_port = FreeLoopbackPort();
  HangingPort hanging(config_.server_port);
  ASSERT_TRUE(hanging.ok());
  ASSERT_FALSE(StartSim({"--rate", "20", "--count", "1000"}).empty());
  ASSERT_TRUE(StartDriver());
  Go();
  ASSERT_TRUE(WaitUntil([&] { return AcceptedLines().size() >= 120; }, 20000));
  ASSERT_GE(DriverSaid("Соединение..."), 1);
  driver_->EndWith(c.signal);
  EXPECT_EQ(driver_->ending(), c.clean ? "exit 0" : "signal 9");
  const std::size_t accepted = AcceptedLines().size();
  // A kill may catch the newest packet between the port and the disk; nothing older.
  EXPECT_GE(EventSpoolFiles() + (c.clean ? 0 : 10), accepted) << EventSpoolFiles() << " of " << accepted;
  if (c.clean) EXPECT_EQ(EventSpoolFiles(), accepted);
}

INSTANTIATE_TEST_SUITE_P(Endings, UnreachableServerEnd,
                         ::testing::Values(UnreachableEndCase{"Kill", SIGKILL, false},
                                           UnreachableEndCase{"Hangup", SIGHUP, true},
                                           UnreachableEndCase{"Terminate", SIGTERM, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server whose reply drips in a byte at a time: a stop still ends in order and in time,
// with the unanswered event kept.
TEST_F(DriverE2eTest, StopDuringADrippingReplyIsCleanAndKeepsTheEvent) {
  config_.server_port = FreeLoopbackPort();
  MsgServerProcess server;
  ASSERT_TRUE(StartServer(server, {"--drip-after", "5"}));
  ASSERT_FALSE(StartSim({"--rate", "1", "--count", "1"}).empty());
  ASSERT_TRUE(StartDriver());
  ASSERT_TRUE(Pump(server, [&] { return CountReceived("mtVersion") == 1; }, 10000));
  Go();
  ASSERT_TRUE(WaitUntil([&] { return AcceptedLines().size() == 1; }, 10000));
  ::poll(nullptr, 0, 1000);  // the event is on the wire, its reply dripping
  EXPECT_EQ(driver_->Stop(/*timeout_ms=*/10000), 0) << driver_->ending();
  EXPECT_EQ(EventSpoolFiles(), 1u);
}

}  // namespace
}  // namespace drv::test
