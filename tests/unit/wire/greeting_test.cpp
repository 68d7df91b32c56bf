#include "wire/greeting.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace drv {
namespace {

using Record = std::array<uint8_t, 8>;

TEST(GreetingTest, PortStateRecord) {
  struct Row {
    std::string name;
    bool open;
    Record expected;
  };
  const Row rows[] = {
      {"COM12", true, {0x05, 0x43, 0x4F, 0x4D, 0x31, 0x32, 0x00, 0x01}},
      {"COM255", false, {0x06, 0x43, 0x4F, 0x4D, 0x32, 0x35, 0x35, 0x00}},
      {"COM1234", true, {0x06, 0x43, 0x4F, 0x4D, 0x31, 0x32, 0x33, 0x01}},
      {"", false, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Row& row : rows) EXPECT_EQ(PortStateRecord(row.name, row.open), row.expected) << row.name;
}

TEST(GreetingTest, FirstNumberIsLowByte) {
  EXPECT_EQ(FirstNumberByte(31), 0x1F);
  EXPECT_EQ(FirstNumberByte(300), 0x2C);
  EXPECT_EQ(FirstNumberByte(-1), 0xFF);
}

TEST(GreetingTest, HelloPayload) { EXPECT_EQ(kHelloPayload, (std::array<uint8_t, 2>{0x40, 0x00})); }

TEST(GreetingTest, VersionRecord) {
  struct Row {
    std::string text;
    std::array<uint16_t, 4> numbers;
  };
  const Row rows[] = {
      {"8.15.3.15", {8, 15, 3, 15}},
      {"1.2", {1, 0, 0, 2}},
      {"7", {0, 0, 0, 0}},
      {"", {0, 0, 0, 0}},
      {"1.2.3.4.5", {1, 2, 3, 0}},
      {"70000.1.1.1", {4464, 1, 1, 1}},
      {"a.2.b.4", {0, 2, 0, 4}},
      {"$10.-1.0.0", {16, 0xFFFF, 0, 0}},
  };
  for (const Row& row : rows) {
    Record expected{};
    for (std::size_t i = 0; i < 4; ++i) {
      expected[2 * i] = static_cast<uint8_t>(row.numbers[i] & 0xFF);
      expected[2 * i + 1] = static_cast<uint8_t>(row.numbers[i] >> 8);
    }
    EXPECT_EQ(VersionRecord(row.text), expected) << row.text;
  }
  EXPECT_EQ(VersionRecord("8.15.3.15"), (Record{0x08, 0x00, 0x0F, 0x00, 0x03, 0x00, 0x0F, 0x00}));
}

}  // namespace
}  // namespace drv
