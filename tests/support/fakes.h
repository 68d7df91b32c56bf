#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "base/reporting.h"
#include "serverlink/server_link_port.h"
#include "support/temp_dir.h"

namespace drv::test {

class RecordingReporter final : public Reporter {
 public:
  void ReportException(const std::string& where, const std::string& what) override {
    exceptions.push_back(where + ": " + what);
  }
  void OperatorLog(const std::string& text) override { log_lines.push_back(text); }

  std::vector<std::string> exceptions;
  std::vector<std::string> log_lines;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline bool RunningAsRoot() { return ::geteuid() == 0; }

// The server link as the receiver side sees it: a switch for "connected", one for a
// full queue, and the messages it took, in order.
class FakeServerLink final : public ServerLinkPort {
 public:
  struct Message {
    uint32_t type = 0;
    std::vector<uint8_t> payload;
    bool operator==(const Message&) const = default;
  };

  bool ServerConnected() const override { return connected; }
  bool ConnectionEstablished() const override { return connected && !attempting; }
  bool EnqueueMessage(uint32_t type, std::span<const uint8_t> payload) override {
    return Enqueue(type, payload, {});
  }
  bool EnqueueReplayed(uint32_t type, std::span<const uint8_t> payload, const std::string& path) override {
    return Enqueue(type, payload, path);
  }
  std::vector<Message> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  // The spool file of each message, empty for a live one.
  std::vector<std::string> Paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
  }

  std::atomic<bool> connected{true};
  // A connection attempt runs: connected as the window knows it, but nothing stands yet.
  std::atomic<bool> attempting{false};
  std::atomic<bool> queue_full{false};
  // Runs after each accepted message, on the caller's thread: a reply that comes at once.
  std::function<void()> on_enqueue;

 private:
  bool Enqueue(uint32_t type, std::span<const uint8_t> payload, const std::string& path) {
    if (queue_full) return false;
    {
      std::lock_guard lock(mutex_);
      messages_.push_back({type, {payload.begin(), payload.end()}});
      paths_.push_back(path);
    }
    if (on_enqueue) on_enqueue();
    return true;
  }

  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::vector<std::string> paths_;
};

}  // namespace drv::test
