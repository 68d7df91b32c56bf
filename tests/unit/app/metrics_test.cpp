#include "app/metrics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "support/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;

struct Series {
  std::string help;
  std::string type;
  std::string labels;
  std::string value;
};

// A small reader of the text format: # HELP / # TYPE lines and "name{labels} value" lines.
std::map<std::string, Series> Parse(const std::string& text) {
  std::map<std::string, Series> series;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      const std::string rest = line.substr(7);
      const auto space = rest.find(' ');
      Series& s = series[rest.substr(0, space)];
      (line[2] == 'H' ? s.help : s.type) = rest.substr(space + 1);
      continue;
    }
    const auto brace = line.find('{');
    const auto close = line.rfind("} ");
    if (brace == std::string::npos || close == std::string::npos) {
      ADD_FAILURE() << "unexpected line: " << line;
      continue;
    }
    Series& s = series[line.substr(0, brace)];
    s.labels = line.substr(brace + 1, close - brace - 1);
    s.value = line.substr(close + 2);
  }
  return series;
}

TEST(Metrics, EverySeriesHasHelpTypeInstanceAndValue) {
  const MetricsSnapshot snapshot{.server_connected = true,
                                 .station_link_ok = false,
                                 .port_open = true,
                                 .spool_files = 17,
                                 .spool_oldest_age_seconds = 62.25,
                                 .held_in_memory = 3,
                                 .lines_received = 123456789012ULL,
                                 .events_sent = 40,
                                 .events_spooled = 17,
                                 .reconnects = 2};
  const auto series = Parse(RenderMetrics(snapshot, "north"));
  const std::map<std::string, std::pair<std::string, std::string>> expected = {
      {"drvlarna_server_connected", {"gauge", "1"}},
      {"drvlarna_station_link_ok", {"gauge", "0"}},
      {"drvlarna_port_open", {"gauge", "1"}},
      {"drvlarna_spool_files", {"gauge", "17"}},
      {"drvlarna_spool_oldest_age_seconds", {"gauge", "62.250"}},
      {"drvlarna_held_in_memory", {"gauge", "3"}},
      {"drvlarna_lines_received_total", {"counter", "123456789012"}},
      {"drvlarna_events_sent_total", {"counter", "40"}},
      {"drvlarna_events_spooled_total", {"counter", "17"}},
      {"drvlarna_reconnects_total", {"counter", "2"}},
  };
  EXPECT_EQ(series.size(), expected.size());
  for (const auto& [name, type_value] : expected) {
    const auto found = series.find(name);
    ASSERT_NE(found, series.end()) << name;
    EXPECT_FALSE(found->second.help.empty()) << name;
    EXPECT_EQ(found->second.type, type_value.first) << name;
    EXPECT_EQ(found->second.labels, "instance=\"north\"") << name;
    EXPECT_EQ(found->second.value, type_value.second) << name;
  }
}

TEST(Metrics, InstanceLabelIsEscaped) {
  const auto series = Parse(RenderMetrics({}, "a\"b\\c\nd"));
  EXPECT_EQ(series.at("drvlarna_port_open").labels, "instance=\"a\\\"b\\\\c\\nd\"");
}

struct InstanceCase {
  const char* name;
  const char* env;
  const char* work_dir;
  const char* instance;
};

class Instance : public testing::TestWithParam<InstanceCase> {};

TEST_P(Instance, Named) {
  EXPECT_EQ(MetricsInstance(GetParam().env, GetParam().work_dir), GetParam().instance);
}

INSTANTIATE_TEST_SUITE_P(Cases, Instance,
                         testing::Values(InstanceCase{"FromEnvironment", "north", "/var/lib/drvlarna/x", "north"},
                                         InstanceCase{"EmptyEnvironmentUsesFolder", "", "/var/lib/drvlarna/south",
                                                      "south"},
                                         InstanceCase{"TrailingSlash", nullptr, "/var/lib/drvlarna/", "drvlarna"},
                                         InstanceCase{"Root", nullptr, "/", "drvlarna"}),
                         [](const testing::TestParamInfo<InstanceCase>& info) { return std::string(info.param.name); });

TEST(Metrics, FileReplacedWholeWithNoTemporaryLeft) {
  test::TempDir dir;
  const std::string path = dir.Path("drvlarna.prom");
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, "first\n", &error)) << error;
  ASSERT_TRUE(WriteFileAtomically(path, "second\n", &error)) << error;
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "second\n");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"drvlarna.prom"});
}

TEST(Metrics, UnwritableFolderGivesTheErrorAndKeepsNothingHalf) {
  test::TempDir dir;
  std::ofstream(dir.Path("plain")) << "x";
  std::string error;
  EXPECT_FALSE(WriteFileAtomically(dir.Path("plain/drvlarna.prom"), "m\n", &error));
  EXPECT_NE(error.find("plain/drvlarna.prom"), std::string::npos) << error;
  // A folder in the target's place: the rename fails and the temporary file goes.
  fs::create_directories(dir.Path("target/inside"));
  EXPECT_FALSE(WriteFileAtomically(dir.Path("target"), "m\n", &error));
  EXPECT_FALSE(fs::exists(dir.Path("target.tmp")));
}

}  // namespace
}  // namespace drv
