#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wire/frames.h"
#include "support/fake_clock.h"
#include "serverlink/tcp_connection.h"
#include "wire/event_record.h"

namespace drv::test {

// The server side of a scripted connection: what the link wrote, and what it will read.
// It outlives the connections the link makes, one per attempt, and records everything in
// one journal so tests can check the order of writes against log lines.
class ScriptedServer {
 public:
  struct ReadRequest {
    std::size_t size;
    int timeout_ms;
  };

  // --- scripting (test side)
  void RefuseNextConnects(int count) {
    std::lock_guard lock(mutex_);
    refuse_connects_ += count;
  }
  void FailNextWrites(int count) {
    std::lock_guard lock(mutex_);
    fail_writes_ += count;
  }
  // Raw bytes the link will read next.
  void Feed(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    for (uint8_t b : bytes) incoming_.push_back(Item{Item::kByte, b});
  }
  // A reply message in a transport frame.
  void Reply(uint32_t type, const std::vector<uint8_t>& payload = {}) { Feed(BuildFrame(BuildMessage(type, payload, 0))); }
  // The next read that reaches this point times out (earlier bytes are still delivered).
  void Stall() {
    std::lock_guard lock(mutex_);
    incoming_.push_back(Item{Item::kTimeout, 0});
  }
  void Close() {
    std::lock_guard lock(mutex_);
    incoming_.push_back(Item{Item::kClosed, 0});
  }
  // The server pauses for `ms` before what is scripted next; reads wait on `clock`, and a
  // pause longer than a read's time-out makes that read time out.
  void Delay(FakeClock& clock, int ms) {
    std::lock_guard lock(mutex_);
    clock_ = &clock;
    incoming_.push_back(Item{Item::kDelay, 0, ms});
  }
  // Runs inside Connect, before it returns (the link's state during an attempt).
  void OnConnect(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    on_connect_ = std::move(hook);
  }
  void Note(const std::string& entry) {
    std::lock_guard lock(mutex_);
    journal_.push_back(entry);
  }

  // --- inspection
  std::vector<std::vector<uint8_t>> Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  // Message types of the frames written, in order.
  std::vector<uint32_t> WrittenTypes() const {
    std::vector<uint32_t> types;
    for (const auto& frame : Writes()) types.push_back(GetLe32(&frame[kTransportHeaderSize + 1]));
    return types;
  }
  std::vector<ReadRequest> Reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
  }
  std::vector<std::string> Journal() const {
    std::lock_guard lock(mutex_);
    return journal_;
  }
  int Connects() const {
    std::lock_guard lock(mutex_);
    return connects_;
  }
  int Disconnects() const {
    std::lock_guard lock(mutex_);
    return disconnects_;
  }
  std::string LastHost() const {
    std::lock_guard lock(mutex_);
    return last_host_;
  }
  int LastPort() const {
    std::lock_guard lock(mutex_);
    return last_port_;
  }
  int LastConnectTimeout() const {
    std::lock_guard lock(mutex_);
    return last_connect_timeout_;
  }
  void ClearRecords() {
    std::lock_guard lock(mutex_);
    writes_.clear();
    reads_.clear();
    journal_.clear();
  }
  // Waits (for a real event from the link thread, not for a timer) until pred holds.
  template <typename Pred>
  bool WaitFor(Pred pred, int timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return pred(*this); });
  }
  // Unlocked views for WaitFor predicates.
  std::size_t WriteCountLocked() const { return writes_.size(); }
  int DisconnectsLocked() const { return disconnects_; }
  int ConnectsLocked() const { return connects_; }

 private:
  friend class ScriptedConnection;
  struct Item {
    enum Kind { kByte, kTimeout, kClosed, kDelay } kind;
    uint8_t byte;
    int delay_ms = 0;
  };

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> incoming_;
  std::vector<std::vector<uint8_t>> writes_;
  std::vector<ReadRequest> reads_;
  std::vector<std::string> journal_;
  std::function<void()> on_connect_;
  FakeClock* clock_ = nullptr;
  int refuse_connects_ = 0;
  int fail_writes_ = 0;
  int connects_ = 0;
  int disconnects_ = 0;
  std::string last_host_;
  int last_port_ = 0;
  int last_connect_timeout_ = 0;
};

// The link's side: a TcpConnection that plays the server's script and never blocks. A read
// with nothing scripted ends at once with a time-out, as a silent server would after its
// time-out.
class ScriptedConnection final : public TcpConnection {
 public:
  explicit ScriptedConnection(ScriptedServer& server) : server_(server) {}

  bool Connect(const std::string& host, int32_t port, int timeout_ms) override {
    std::function<void()> hook;
    {
      std::lock_guard lock(server_.mutex_);
      connected_ = false;
      ++server_.connects_;
      server_.last_host_ = host;
      server_.last_port_ = port;
      server_.last_connect_timeout_ = timeout_ms;
      server_.journal_.push_back("connect");
      hook = server_.on_connect_;
      if (server_.refuse_connects_ > 0) {
        --server_.refuse_connects_;
      } else {
        connected_ = true;
      }
    }
    if (hook) hook();
    server_.changed_.notify_all();
    return connected_;
  }

  bool WriteAll(std::span<const uint8_t> data) override {
    std::lock_guard lock(server_.mutex_);
    if (!connected_ || server_.fail_writes_ > 0) {
      if (server_.fail_writes_ > 0) --server_.fail_writes_;
      connected_ = false;
      server_.journal_.push_back("write failed");
      return false;
    }
    server_.writes_.emplace_back(data.begin(), data.end());
    server_.journal_.push_back("write");
    server_.changed_.notify_all();
    return true;
  }

  ReadResult ReadExactly(uint8_t* buffer, std::size_t size, int timeout_ms, int total_timeout_ms = -1) override {
    std::lock_guard lock(server_.mutex_);
    server_.reads_.push_back({size, timeout_ms});
    if (!connected_) return {ReadStatus::kClosed, 0};
    std::size_t got = 0;
    int waited = 0;
    auto& in = server_.incoming_;
    while (got < size) {
      if (in.empty()) return {ReadStatus::kTimeout, got};
      auto& next = in.front();
      if (next.kind == ScriptedServer::Item::kDelay) {
        // Waits as long as the pause, the idle time-out or what is left of the whole read.
        const int budget = total_timeout_ms < 0 ? next.delay_ms : std::max(total_timeout_ms - waited, 0);
        const int wait = std::min({next.delay_ms, timeout_ms, budget});
        if (server_.clock_ != nullptr) server_.clock_->Advance(static_cast<uint64_t>(wait));
        waited += wait;
        next.delay_ms -= wait;
        if (next.delay_ms > 0) return {ReadStatus::kTimeout, got};
        in.pop_front();
        continue;
      }
      const auto item = next;
      in.pop_front();
      if (item.kind == ScriptedServer::Item::kTimeout) return {ReadStatus::kTimeout, got};
      if (item.kind == ScriptedServer::Item::kClosed) {
        connected_ = false;
        return {ReadStatus::kClosed, got};
      }
      buffer[got++] = item.byte;
    }
    return {ReadStatus::kOk, got};
  }

  bool Connected() const override {
    std::lock_guard lock(server_.mutex_);
    return connected_;
  }

  void Disconnect() override {
    {
      std::lock_guard lock(server_.mutex_);
      if (connected_) server_.journal_.push_back("disconnect");
      connected_ = false;
      ++server_.disconnects_;
    }
    server_.changed_.notify_all();
  }

 private:
  ScriptedServer& server_;
  bool connected_ = false;
};

}  // namespace drv::test
