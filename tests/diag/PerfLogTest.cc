#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <regex>
#include <thread>

#include "diag/PerfLog.h"
#include "platform/system/Environment.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

// The switch and the file path are read once per process; ctest runs every test in a process of
// its own, so each test below sets the environment before its first read.

namespace tamro::test {
namespace {

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(PerfLogTest, EnvironmentValueDecidesTheSwitch) {
    const auto on = [](const char* value) {
        setenv("TAMRO_PERF", value, 1);
        return PerfLog::ParseSwitch(platform::ReadEnvironment("TAMRO_PERF", 8));
    };
    for (const char* value : {"1", "yes", "true", "1234567"}) {
        EXPECT_TRUE(on(value)) << value;
    }
    for (const char* value : {"0", "00", "0yes", "", "12345678"}) {
        EXPECT_FALSE(on(value)) << value;
    }
    unsetenv("TAMRO_PERF");
    EXPECT_FALSE(PerfLog::ParseSwitch(platform::ReadEnvironment("TAMRO_PERF", 8))) << "unset";
}

TEST(PerfLogTest, EnabledLinesGoToOutputAndTimestampedFile) {
    TempDir dir;
    setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    setenv("TAMRO_PERF", "1", 1);
    LogCapture log;
    ASSERT_TRUE(PerfLog::IsPerfEnabled());
    setenv("TAMRO_PERF", "0", 1);
    EXPECT_TRUE(PerfLog::IsPerfEnabled()) << "the switch is read once per process";

    PerfLog::Write("[PERF][Session] first=%d\n", 1);
    PerfLog::WritePerfLine("[PERF][Encode] second\n");
    PerfLog::WritePerfLine(nullptr);

    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"[PERF][Session] first=1", "[PERF][Encode] second"}));
    const auto path = dir.path() / "Tamro" / "Logs" / "perf.log";
    EXPECT_EQ(PerfLog::LogFilePath(), path.string());
    const auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 2u);
    const std::regex stamped(R"(^\d\d:\d\d:\d\d\.\d\d\d \[PERF\]\[(Session|Encode)\] .*$)");
    for (const auto& line : lines) {
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    }
}

TEST(PerfLogTest, WithoutAppDataFolderLinesStillReachOutput) {
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    setenv("TAMRO_PERF", "yes", 1);
    LogCapture log;
    EXPECT_EQ(PerfLog::LogFilePath(), "");
    PerfLog::Write("[PERF][Audio] no file\n");
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"[PERF][Audio] no file"});
}

// Switched off, nothing is written anywhere; lines written whole (the switch is not tested there)
// by two threads at once never interleave, in a log folder that already exists.
TEST(PerfLogTest, DisabledWritesNothingAndConcurrentWritersNeverInterleave) {
    TempDir dir;
    setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    setenv("TAMRO_PERF", "00", 1);
    LogCapture log;
    EXPECT_FALSE(PerfLog::IsPerfEnabled());
    PerfLog::Write("[PERF][Session] nothing\n");
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "Tamro"));

    std::filesystem::create_directories(dir.path() / "Tamro" / "Logs");
    platform::SetDebugOutputToStandardError(false);
    const std::string a(200, 'a');
    const std::string b(200, 'b');
    constexpr int kLinesPerThread = 300;
    auto writer = [](const std::string& body) {
        const std::string line = "[PERF][Capture] " + body + "\n";
        for (int i = 0; i < kLinesPerThread; ++i) {
            PerfLog::WritePerfLine(line.c_str());
        }
    };
    std::thread first(writer, a);
    std::thread second(writer, b);
    first.join();
    second.join();
    platform::SetDebugOutputToStandardError(true);

    const auto lines = ReadLines(dir.path() / "Tamro" / "Logs" / "perf.log");
    ASSERT_EQ(lines.size(), 2u * kLinesPerThread);
    for (const auto& line : lines) {
        ASSERT_GT(line.size(), 13u);
        const std::string body = line.substr(13 + std::string("[PERF][Capture] ").size());
        EXPECT_TRUE(body == a || body == b) << line;
    }
}

}  // namespace
}  // namespace tamro::test
