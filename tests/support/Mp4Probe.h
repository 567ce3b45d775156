#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tamro::test {

// Everything a shell command writes to its standard output; `succeeded` says whether it exited
// with 0.
inline std::string CommandOutput(const std::string& command, bool* succeeded = nullptr) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe) {
        char chunk[65536];
        for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            output.append(chunk, got);
    }
    const bool exited = pipe && ::pclose(pipe) == 0;
    if (succeeded)
        *succeeded = exited;
    return output;
}

// What ffprobe reads from a media file: every stream's fields, the file's tags and the decoded
// video frames, from its flat output ("streams.stream.0.width=320").
class Mp4Probe {
  public:
    explicit Mp4Probe(const std::filesystem::path& file) {
        bool exited = false;
        std::istringstream lines(
            CommandOutput("ffprobe -v error -show_format -show_streams -show_frames -of flat '" +
                              file.string() + "' 2>/dev/null",
                          &exited));
        for (std::string line; std::getline(lines, line);)
            Add(line);
        m_opened = exited && !m_fields.empty();
    }

    bool Opened() const { return m_opened; }

    // A field of the first stream of that type ("video", "audio"); empty when absent.
    std::string Stream(const std::string& type, const std::string& key) const {
        for (int i = 0; Has("streams.stream." + std::to_string(i) + ".codec_type"); ++i) {
            const std::string prefix = "streams.stream." + std::to_string(i) + ".";
            if (Field(prefix + "codec_type") == type)
                return Field(prefix + key);
        }
        return {};
    }
    int StreamCount(const std::string& type) const {
        int count = 0;
        for (int i = 0; Has("streams.stream." + std::to_string(i) + ".codec_type"); ++i)
            count += Field("streams.stream." + std::to_string(i) + ".codec_type") == type;
        return count;
    }
    std::string FormatTag(const std::string& key) const { return Field("format.tags." + key); }

    // Presentation times (in the stream's time base) and key-frame flags of decoded video frames,
    // in output order.
    std::vector<long long> VideoFramePts() const { return FrameValues("video", "pts"); }
    // Presentation times and durations of the decoded audio frames (in the audio time base).
    std::vector<long long> AudioFramePts() const { return FrameValues("audio", "pts"); }
    std::vector<long long> AudioFrameDurations() const {
        return FrameValues("audio", "pkt_duration");
    }
    std::vector<long long> VideoKeyFrames() const {
        std::vector<long long> keys;
        const std::vector<long long> flags = FrameValues("video", "key_frame");
        for (size_t i = 0; i < flags.size(); ++i) {
            if (flags[i])
                keys.push_back(static_cast<long long>(i));
        }
        return keys;
    }

    // The luma plane of the first decoded video frame (width x height bytes), empty on failure.
    static std::vector<uint8_t> FirstFrameLuma(const std::filesystem::path& file) {
        const std::string luma =
            CommandOutput("ffmpeg -v error -i '" + file.string() +
                          "' -frames:v 1 -f rawvideo -pix_fmt gray - 2>/dev/null");
        return {luma.begin(), luma.end()};
    }

    // The types of the file's top-level boxes, in order.
    static std::vector<std::string> TopLevelBoxes(const std::filesystem::path& file) {
        std::vector<std::string> types;
        FILE* in = std::fopen(file.c_str(), "rb");
        if (!in)
            return types;
        for (uint8_t header[16]; std::fread(header, 1, 8, in) == 8;) {
            uint64_t size = 0;
            for (int i = 0; i < 4; ++i)
                size = size << 8 | header[i];
            types.emplace_back(reinterpret_cast<const char*>(header + 4), 4);
            uint64_t headerSize = 8;
            if (size == 1 && std::fread(header + 8, 1, 8, in) == 8) {
                size = 0;
                for (int i = 8; i < 16; ++i)
                    size = size << 8 | header[i];
                headerSize = 16;
            }
            if (size < headerSize ||
                std::fseek(in, static_cast<long>(size - headerSize), SEEK_CUR) != 0)
                break;
        }
        std::fclose(in);
        return types;
    }

  private:
    void Add(std::string line) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            return;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        m_fields[line.substr(0, equals)] = value;
    }
    bool Has(const std::string& key) const { return m_fields.count(key) != 0; }
    std::string Field(const std::string& key) const {
        const auto it = m_fields.find(key);
        return it == m_fields.end() ? std::string() : it->second;
    }
    std::vector<long long> FrameValues(const std::string& type, const std::string& key) const {
        std::vector<long long> values;
        for (int i = 0; Has("frames.frame." + std::to_string(i) + ".media_type"); ++i) {
            const std::string prefix = "frames.frame." + std::to_string(i) + ".";
            if (Field(prefix + "media_type") == type)
                values.push_back(std::atoll(Field(prefix + key).c_str()));
        }
        return values;
    }

    std::map<std::string, std::string> m_fields;
    bool m_opened = false;
};

}  // namespace tamro::test
