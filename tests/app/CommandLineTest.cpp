// The command line both programs take.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "MainForm.h"

namespace {

using app::TProgramKind;

app::TParsedCommandLine Parse(std::vector<std::string> arguments,
                              TProgramKind kind = TProgramKind::Console) {
  return app::ParseCommandLine(arguments, kind);
}

TEST(CommandLine, PortsKeepTheirOrderAndDuplicates) {
  const auto parsed = Parse({"--port", "/dev/ttyUSB1", "--trace", "run.log", "--port=COM3",
                             "--port", "/dev/ttyUSB1", "--report", "runs.jsonl"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.ports,
            (std::vector<std::string>{"/dev/ttyUSB1", "COM3", "/dev/ttyUSB1"}));
  EXPECT_EQ(parsed.options.traceFile, "run.log");
  EXPECT_EQ(parsed.options.reportFile, "runs.jsonl");
  EXPECT_FALSE(parsed.options.help || parsed.options.version || parsed.options.listPorts);

  // Nothing given: discovery, no trace.
  const auto none = Parse({}, TProgramKind::Window);
  EXPECT_EQ(none.error, "");
  EXPECT_TRUE(none.options.ports.empty());
  EXPECT_TRUE(none.options.traceFile.empty());

  // A name that merely contains '=' is taken whole after the first one.
  EXPECT_EQ(Parse({"--trace=a=b.log"}).options.traceFile, "a=b.log");
}

TEST(CommandLine, HelpVersionAndListingThePorts) {
  EXPECT_TRUE(Parse({"--help"}).options.help);
  EXPECT_TRUE(Parse({"-h"}, TProgramKind::Window).options.help);
  EXPECT_TRUE(Parse({"--version"}, TProgramKind::Window).options.version);
  EXPECT_TRUE(Parse({"--list-ports"}).options.listPorts);
  // Only the console program lists ports.
  EXPECT_EQ(Parse({"--list-ports"}, TProgramKind::Window).error, "unknown option '--list-ports'");
  EXPECT_NE(app::OptionsHelp(TProgramKind::Console).find("--list-ports"), std::string::npos);
  EXPECT_EQ(app::OptionsHelp(TProgramKind::Window).find("--list-ports"), std::string::npos);
}

TEST(CommandLine, AnythingElseIsAUsageError) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-p", "COM1"}, "unknown option '-p'"},
      {{"COM1"}, "unexpected argument 'COM1'"},
      {{"--port"}, "option '--port' needs a port name"},
      {{"--port="}, "option '--port' needs a port name"},
      {{"--port", "--trace", "x"}, "option '--port' needs a port name"},
      {{"--trace"}, "option '--trace' needs a file name"},
      {{"--trace", "a", "--trace", "b"}, "option '--trace' given more than once"},
      {{"--report", "--port", "x"}, "option '--report' needs a file name"},
      {{"--report=a", "--report=b"}, "option '--report' given more than once"},
      {{"--help=yes"}, "option '--help' takes no value"},
      {{"--version", "--bogus"}, "unknown option '--bogus'"},
      {{"--all", "--list-ports"}, "options '--all' and '--list-ports' exclude each other"},
      {{"--watch", "--run-events", "3"},
       "option '--run-events' is for one port's run, not for --all or --watch"},
      {{"--report"}, "option '--report' needs a file name"},
      {{"--report", "a", "--report", "b"}, "option '--report' given more than once"},
      {{"--run-events="}, "option '--run-events' needs a descriptor"},
      {{"--all=yes"}, "option '--all' takes no value"},
  };
  for (const auto& [arguments, error] : cases) {
    EXPECT_EQ(Parse(arguments).error, error) << arguments.front();
  }
}

TEST(CommandLine, AllAndWatchAreTheConsoleProgramsOnly) {
  const auto parsed = Parse({"--watch", "--port", "/dev/ttyUSB0", "--report", "runs.jsonl"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.options.watch);
  EXPECT_FALSE(parsed.options.all);
  EXPECT_EQ(parsed.options.reportFile, "runs.jsonl");
  EXPECT_TRUE(Parse({"--all"}).options.all);
  EXPECT_EQ(Parse({"--run-events", "3"}).options.runEvents, "3");
  for (const char* option : {"--all", "--watch", "--run-events=3"}) {
    EXPECT_NE(Parse({option}, TProgramKind::Window).error, "") << option;
  }
  // The channel of one port's run is no option for a user.
  EXPECT_EQ(app::OptionsHelp(TProgramKind::Console).find("--run-events"), std::string::npos);
}

TEST(CommandLine, TheVersionIsTheOneTheWindowShows) {
  const resources::ControlSpec* label = resources::FindControl("Label1");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ("version " + std::string(app::ProgramVersion()), label->caption);
  EXPECT_EQ(app::ProgramVersion(), "2.3");
}

}  // namespace
