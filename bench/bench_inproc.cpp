// In-process figures of the core: line decoding, the hex log, spool writes.
// Prints one "name=value" line per figure; the system harness (system_bench.py) reads them.
//
//   drv_bench decode  [--lines N]             line protocol, Log off, 256- and 15-byte packets
//   drv_bench hexlog  [--lines N] [--dir D]   line protocol with the hex log on
//   drv_bench spool   [--files N] [--dir D]   SpoolFolder::WriteSpoolFile, files/s with fsync
//   drv_bench make-spool --dir D --files N    leaves N event spool files in D (for the replay run)
//   drv_bench fsync-probe [--files N] [--dir D] what the disk allows: 24-byte files created with
//                                             no sync, with the file synced, with the folder too,
//                                             and written aside then renamed before the folder sync

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "base/settings.h"
#include "platform/real_clock.h"
#include "receiver/line_protocol.h"
#include "wire/message_types.h"
#include "wire/event_record.h"
#include "spool/spool_files.h"

namespace {

namespace fs = std::filesystem;
using Seconds = std::chrono::duration<double>;

class CountingReporter final : public drv::Reporter {
 public:
  void ReportException(const std::string& where, const std::string& what) override {
    if (exceptions_++ == 0) std::fprintf(stderr, "report: %s: %s\n", where.c_str(), what.c_str());
  }
  void OperatorLog(const std::string&) override {}
  int exceptions() const { return exceptions_; }

 private:
  int exceptions_ = 0;
};

struct Args {
  std::string command;
  long count = 0;
  std::string dir;
};

// A receiver line "R A800nnnnn67" CR LF whose account is `n` modulo 100000.
void AppendLine(std::vector<uint8_t>& out, long n) {
  char text[16];
  std::snprintf(text, sizeof text, "R A800%05ld67\r\n", n % 100000);
  out.insert(out.end(), text, text + 15);
}

std::vector<uint8_t> MakeStream(long lines) {
  std::vector<uint8_t> stream;
  stream.reserve(static_cast<size_t>(lines) * 15);
  for (long i = 0; i < lines; ++i) AppendLine(stream, i);
  return stream;
}

struct DecodeResult {
  double seconds = 0;
  long handed_off = 0;
};

// Feeds `stream` to a fresh protocol in packets of `packet` bytes, as the poll would.
DecodeResult Decode(const std::vector<uint8_t>& stream, uint32_t packet, bool log, const std::string& log_path) {
  drv::RealClock clock;
  drv::Settings settings;
  settings.Log = log;
  CountingReporter reporter;
  DecodeResult result;
  drv::LineProtocol protocol(clock, settings, reporter, log_path,
                             [&](const drv::TEventRecord&) { ++result.handed_off; });
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at < stream.size(); at += packet) {
    const auto size = static_cast<uint32_t>(std::min<size_t>(packet, stream.size() - at));
    protocol.SerialPortDriver1ReceivePacket(stream.data() + at, size);
  }
  result.seconds = Seconds(std::chrono::steady_clock::now() - start).count();
  if (reporter.exceptions() > 0) std::fprintf(stderr, "%d packets reported an error\n", reporter.exceptions());
  return result;
}

int RunDecode(const Args& args) {
  const long lines = args.count > 0 ? args.count : 5'000'000;
  const auto stream = MakeStream(lines);
  for (const uint32_t packet : {256u, 15u}) {
    Decode(stream, packet, false, "");  // warm-up: caches, page faults of the stream
    const DecodeResult r = Decode(stream, packet, false, "");
    if (r.handed_off != lines) std::fprintf(stderr, "decode: %ld of %ld lines handed off\n", r.handed_off, lines);
    std::printf("decode_lines_per_s_packet%u=%.0f\n", packet, static_cast<double>(r.handed_off) / r.seconds);
  }
  return 0;
}

std::string WorkDir(const Args& args, const char* name) {
  const fs::path dir = args.dir.empty() ? fs::temp_directory_path() / name : fs::path(args.dir);
  fs::create_directories(dir);
  return dir.string();
}

int RunHexLog(const Args& args) {
  const long lines = args.count > 0 ? args.count : 200'000;
  const auto stream = MakeStream(lines);
  const std::string dir = WorkDir(args, "drv_bench_hexlog");
  for (const uint32_t packet : {256u, 15u}) {
    const std::string log_path = dir + "/drvlarna.log";
    fs::remove(log_path);
    const DecodeResult r = Decode(stream, packet, true, log_path);
    const double packets = static_cast<double>((stream.size() + packet - 1) / packet);
    std::printf("hexlog_lines_per_s_packet%u=%.0f\n", packet, static_cast<double>(r.handed_off) / r.seconds);
    std::printf("hexlog_packets_per_s_packet%u=%.0f\n", packet, packets / r.seconds);
    fs::remove(log_path);
  }
  return 0;
}

std::vector<uint8_t> SampleRecord(long n) {
  drv::TEventRecord record;
  record.ObjectNumber = 310000 + static_cast<int32_t>(n % 100000);
  record.EventCodeLength = 2;
  record.EventCode = {'6', '7', 0, 0};
  record.Pos4Value = 8;
  record.TimeStamp = drv::RealClock().Now();
  const auto bytes = record.Bytes();
  return {bytes.begin(), bytes.end()};
}

// Writes `files` event files into `dir` (created, emptied of *.dd8 first when `clear`).
// Returns the elapsed seconds, or a negative value when a write failed.
// `batch` files share one round of syncs, as the lines of one received packet do.
double WriteFiles(const std::string& dir, long files, bool clear, long batch = 1) {
  if (clear) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() == drv::SpoolFolder::kExtension) fs::remove(entry.path());
    }
  }
  drv::RealClock clock;
  CountingReporter reporter;
  drv::SpoolFolder spool(clock, dir + "/", reporter, [](int32_t code) {
    std::fprintf(stderr, "error code %d\n", code);
  });
  std::vector<std::vector<uint8_t>> payloads;
  payloads.reserve(static_cast<size_t>(files));
  for (long i = 0; i < files; ++i) payloads.push_back(SampleRecord(i));
  long failed = 0;
  const auto start = std::chrono::steady_clock::now();
  for (size_t first = 0; first < payloads.size(); first += static_cast<size_t>(batch)) {
    const drv::SpoolFolder::Batch group(spool);
    const size_t end = std::min(payloads.size(), first + static_cast<size_t>(batch));
    for (size_t i = first; i < end; ++i) {
      if (!spool.WriteSpoolFile(drv::mtStoredEvent, payloads[i])) ++failed;
    }
  }
  const double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
  if (failed > 0) {
    std::fprintf(stderr, "spool: %ld of %ld writes failed\n", failed, files);
    return -1;
  }
  return seconds;
}

long CountSpoolFiles(const std::string& dir) {
  long n = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == drv::SpoolFolder::kExtension) ++n;
  }
  return n;
}

int RunSpool(const Args& args) {
  const long files = args.count > 0 ? args.count : 5000;
  const std::string dir = WorkDir(args, "drv_bench_spool");
  // 17 event lines fill one 256-byte packet: the batch the driver writes at line speed.
  const double seconds = WriteFiles(dir, files, true, 17);
  if (seconds < 0) return 1;
  const long found = CountSpoolFiles(dir);
  std::printf("spool_files_per_s=%.0f\n", static_cast<double>(files) / seconds);
  const long single_files = std::max(1L, files / 5);
  const double single_seconds = WriteFiles(dir, single_files, true, 1);
  if (single_seconds < 0) return 1;
  std::printf("spool_files_per_s_single=%.0f\n", static_cast<double>(single_files) / single_seconds);
  std::printf("spool_files_found=%ld\n", found);
  std::printf("spool_files_written=%ld\n", files);
  std::printf("spool_dir_filesystem=%s\n", dir.c_str());
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == drv::SpoolFolder::kExtension) fs::remove(entry.path());
  }
  return 0;
}

int RunMakeSpool(const Args& args) {
  if (args.dir.empty() || args.count <= 0) {
    std::fprintf(stderr, "make-spool needs --dir and --files\n");
    return 2;
  }
  fs::create_directories(args.dir);
  if (WriteFiles(args.dir, args.count, true) < 0) return 1;
  std::printf("spool_files_made=%ld\n", CountSpoolFiles(args.dir));
  return 0;
}

// The floor under WriteSpoolFile: the same small file written by hand, syncing more each round.
int RunFsyncProbe(const Args& args) {
  const long files = args.count > 0 ? args.count : 1000;
  const std::string dir = WorkDir(args, "drv_bench_fsync");
  const uint8_t bytes[24] = {0x32, 0x00, 0x00, 0x03};
  const char* const names[] = {"nosync", "filesync", "filedirsync", "renamedirsync"};
  for (int mode = 0; mode < 4; ++mode) {
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < files; ++i) {
      const std::string path = dir + "/" + std::to_string(i) + ".probe";
      const std::string temp = path + ".tmp";
      const int fd = ::open((mode == 3 ? temp : path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || ::write(fd, bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) return 1;
      if (mode >= 1) ::fsync(fd);
      ::close(fd);
      if (mode == 3 && ::rename(temp.c_str(), path.c_str()) != 0) return 1;
      if (mode >= 2) {
        const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::fsync(dir_fd);
        ::close(dir_fd);
      }
    }
    const double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
    std::printf("probe_files_per_s_%s=%.0f\n", names[mode], static_cast<double>(files) / seconds);
    for (long i = 0; i < files; ++i) fs::remove(dir + "/" + std::to_string(i) + ".probe");
  }
  return 0;
}

bool ParseArgs(int argc, char** argv, Args& args) {
  if (argc < 2) return false;
  args.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) return false;
    if (arg == "--lines" || arg == "--files") {
      args.count = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--dir") {
      args.dir = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, args)) {
    std::fprintf(stderr,
                 "usage: drv_bench decode|hexlog|spool|make-spool|fsync-probe [--lines N] [--files N] [--dir D]\n");
    return 2;
  }
  try {
    if (args.command == "decode") return RunDecode(args);
    if (args.command == "hexlog") return RunHexLog(args);
    if (args.command == "spool") return RunSpool(args);
    if (args.command == "make-spool") return RunMakeSpool(args);
    if (args.command == "fsync-probe") return RunFsyncProbe(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "drv_bench: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "drv_bench: unknown command %s\n", args.command.c_str());
  return 2;
}
