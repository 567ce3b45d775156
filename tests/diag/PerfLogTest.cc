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
    struct Case {
        const char* value;  // null: variable unset
        bool on;
    };
    for (const Case& c :
         {Case{"1", true}, Case{"yes", true}, Case{"true", true}, Case{"1234567", true},
          Case{"0", false}, Case{"00", false}, Case{"0yes", false}, Case{"", false},
          Case{"12345678", false}, Case{nullptr, false}}) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        if (c.value == nullptr) {
            unsetenv("TAMRO_PERF");
        } else {
            setenv("TAMRO_PERF", c.value, 1);
        }
        EXPECT_EQ(PerfLog::ParseSwitch(platform::ReadEnvironment("TAMRO_PERF", 8)), c.on);
    }
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

TEST(PerfLogTest, DisabledWritesNothingAnywhere) {
    TempDir dir;
    setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    setenv("TAMRO_PERF", "00", 1);
    LogCapture log;
    EXPECT_FALSE(PerfLog::IsPerfEnabled());
    PerfLog::Write("[PERF][Session] nothing\n");
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "Tamro"));
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

TEST(PerfLogTest, ConcurrentWritersNeverInterleaveInExistingFolder) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "Tamro" / "Logs");
    setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
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
