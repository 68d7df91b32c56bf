#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "receiver/poll_timer.h"
#include "receiver/serial_device.h"

namespace drv::test {

// A serial line whose received bytes are a queue the test fills. Each operation can be made
// to fail; every call that changes the line is recorded.
class FakeSerialDevice final : public SerialDevice {
 public:
  bool Open(const std::string& device_name) override {
    opened_names.push_back(device_name);
    if (throw_on_open) throw std::runtime_error("device fault");
    if (fail_open) return false;
    open = true;
    return true;
  }
  void Close() override {
    ++close_calls;
    open = false;
  }
  bool IsOpen() const override { return open; }
  std::optional<size_t> BytesWaiting() override {
    if (fail_status) return std::nullopt;
    return input.size();
  }
  std::optional<size_t> Read(uint8_t* buffer, size_t max) override {
    read_sizes.push_back(max);
    if (fail_read) return std::nullopt;
    const size_t n = std::min(max, input.size());
    std::copy_n(input.begin(), n, buffer);
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  bool ApplyLineSettings(const LineSettings& settings) override {
    applied.push_back(settings);
    return !fail_apply;
  }
  bool Purge(bool in, bool out) override {
    purges.emplace_back(in, out);
    if (fail_purge) return false;
    if (in) input.clear();
    return true;
  }
  bool SetDTR(bool on) override {
    dtr_calls.push_back(on);
    return true;
  }
  bool SetRTS(bool on) override {
    rts_calls.push_back(on);
    return true;
  }

  void Receive(size_t count, uint8_t first = 0) {
    for (size_t i = 0; i < count; ++i) input.push_back(static_cast<uint8_t>(first + i));
  }

  bool open = false;
  bool fail_open = false;
  bool throw_on_open = false;
  bool fail_status = false;
  bool fail_read = false;
  bool fail_apply = false;
  bool fail_purge = false;
  std::deque<uint8_t> input;
  std::vector<std::string> opened_names;
  int close_calls = 0;
  std::vector<size_t> read_sizes;
  std::vector<LineSettings> applied;
  std::vector<std::pair<bool, bool>> purges;
  std::vector<bool> dtr_calls;
  std::vector<bool> rts_calls;
};

// Records starts and stops; the test calls PollPort itself.
class FakePollTimer final : public PollTimer {
 public:
  void Start(uint32_t period_ms) override {
    starts.push_back(period_ms);
    active = true;
  }
  void Stop() override {
    ++stops;
    active = false;
  }
  bool IsActive() const override { return active; }

  bool active = false;
  std::vector<uint32_t> starts;
  int stops = 0;
};

}  // namespace drv::test
