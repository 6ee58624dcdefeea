#include "sim/options.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

std::optional<Options> Parse(std::vector<std::string> args, std::string* error) {
  return ParseOptions(args, error);
}

TEST(SimOptions, TakesEverySettingAndPutsItOverTheScenario) {
  std::string error;
  const auto options =
      Parse({"--ports", "/tmp/p", "--scenario", "s.txt", "--pcap", "b.pcap", "--report", "r.json",
             "--duration", "2.5", "--seed", "99", "--corrupt", "0.001", "--loss", "0.25",
             "--latency", "12", "--jitter", "3", "--adapter-latency", "16", "--adapter-packet", "32"},
            &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->ports_dir, "/tmp/p");
  EXPECT_EQ(options->scenario, "s.txt");
  EXPECT_EQ(options->pcap, "b.pcap");
  EXPECT_EQ(options->report, "r.json");
  EXPECT_DOUBLE_EQ(*options->duration, 2.5);

  Scenario scenario;
  scenario.faults.latencyMs = 40;
  ApplyOptions(*options, &scenario);
  EXPECT_EQ(scenario.seed, 99u);
  EXPECT_DOUBLE_EQ(scenario.faults.corruptRate, 0.001);
  EXPECT_DOUBLE_EQ(scenario.faults.lossRate, 0.25);
  EXPECT_EQ(scenario.faults.latencyMs, 12u);
  EXPECT_EQ(scenario.faults.jitterMs, 3u);
  EXPECT_EQ(scenario.adapter.latencyMs, 16u);
  EXPECT_EQ(scenario.adapter.packet, 32u);
}

TEST(SimOptions, LeavesTheScenarioAloneWhereTheCommandLineSaysNothing) {
  std::string error;
  const auto options = Parse({"--ports", "d"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_FALSE(options->duration);
  Scenario scenario;
  scenario.seed = 5;
  scenario.faults.lossRate = 0.5;
  scenario.faults.jitterMs = 7;
  ApplyOptions(*options, &scenario);
  EXPECT_EQ(scenario.seed, 5u);
  EXPECT_DOUBLE_EQ(scenario.faults.lossRate, 0.5);
  EXPECT_EQ(scenario.faults.jitterMs, 7u);
}

TEST(SimOptions, RefusesMissingPortsAndBadValues) {
  const std::vector<std::vector<std::string>> bad{
      {},
      {"--duration", "3"},
      {"--ports"},
      {"--ports", "d", "--duration", "0"},
      {"--ports", "d", "--duration", "-1"},
      {"--ports", "d", "--duration", "nan"},
      {"--ports", "d", "--corrupt", "1.5"},
      {"--ports", "d", "--loss", "-0.1"},
      {"--ports", "d", "--seed", "12x"},
      {"--ports", "d", "--latency", "70000"},
      {"--ports", "d", "--adapter-latency", "1001"},
      {"--ports", "d", "--adapter-packet", "0"},
      {"--ports", "d", "--frobnicate", "1"},
      {"stray"},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << ::testing::PrintToString(args);
    EXPECT_FALSE(error.empty()) << ::testing::PrintToString(args);
  }
}

TEST(SimOptions, HelpNeedsNoPorts) {
  std::string error;
  const auto options = Parse({"--help"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_TRUE(options->help);
  EXPECT_NE(Usage().find("--ports DIR"), std::string::npos);
}

}  // namespace
}  // namespace sim
