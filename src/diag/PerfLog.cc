#include "diag/PerfLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>

#include "diag/Log.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/Environment.h"

namespace tamro {
namespace {

// The switch is read into a buffer of this many characters; longer values do not fit.
constexpr std::size_t kSwitchBufferChars = 8;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::mutex& FileMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string ComputeLogFilePath() {
    const auto appData = platform::LocalAppDataFolder();
    if (!appData) {
        return {};
    }
    std::error_code ignored;
    std::filesystem::path path = *appData / "Tamro";
    std::filesystem::create_directory(path, ignored);
    path /= "Logs";
    std::filesystem::create_directory(path, ignored);
    return (path / "perf.log").string();
}

}  // namespace

bool PerfLog::ParseSwitch(const std::optional<std::string>& value) {
    return value && !value->empty() && value->size() < kSwitchBufferChars && (*value)[0] != '0';
}

bool PerfLog::IsPerfEnabled() {
    // -1 not read yet. Concurrent first readers compute the same value, so the race is benign.
    static std::atomic<int> cached{-1};
    int state = cached.load(std::memory_order_relaxed);
    if (state < 0) {
        state = ParseSwitch(platform::ReadEnvironment("TAMRO_PERF", kSwitchBufferChars)) ? 1 : 0;
        cached.store(state, std::memory_order_relaxed);
    }
    return state == 1;
}

const std::string& PerfLog::LogFilePath() {
    static const std::string path = ComputeLogFilePath();
    return path;
}

std::string PerfLog::TimestampedLine(std::string_view message) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::string line =
        FormatLine("%02u:%02u:%02u.%03u ", static_cast<unsigned>(local.tm_hour),
                   static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec),
                   static_cast<unsigned>(now.tv_nsec / 1'000'000));
    line.append(message);
    return line;
}

void PerfLog::WritePerfLine(const char* text) {
    if (text == nullptr) {
        return;
    }
    platform::WriteDebugOutput(text);
    const std::string& path = LogFilePath();
    if (path.empty()) {
        return;
    }
    std::lock_guard lock(FileMutex());
    File file(std::fopen(path.c_str(), "a"));
    if (!file) {
        return;
    }
    const std::string line = TimestampedLine(text);
    std::fwrite(line.data(), 1, line.size(), file.get());
}

void PerfLog::Write(const char* format, ...) {
    if (!IsPerfEnabled()) {
        return;
    }
    va_list args;
    va_start(args, format);
    const std::string line = FormatLineV(format, args);
    va_end(args);
    WritePerfLine(line.c_str());
}

}  // namespace tamro
