#pragma once

// The option grammar both command-line tools share: "--name value", "--name=value" and bare
// flags, each table mapping a name to what it does to the tool's own command line.

#include <charconv>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tamro::cli {

template <typename T>
bool ParseNumber(const std::string& text, T* value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *value);
    return error == std::errc() && stop == end;
}

// Sets the value, or returns the reason it is refused.
template <typename Line>
using ValueParser = std::function<std::optional<std::string>(const std::string&, Line&)>;
template <typename Line>
using FlagSetter = std::function<void(Line&)>;

template <typename Line>
struct OptionTables {
    std::map<std::string, FlagSetter<Line>> flags;
    std::map<std::string, ValueParser<Line>> values;
    std::map<std::string, std::string> shortNames;  // "-o" -> "--output"
};

// Applies `args` to `line` in order; the first refusal ends the walk.
template <typename Line>
std::optional<std::string> ParseOptions(const std::vector<std::string>& args,
                                        const OptionTables<Line>& tables, Line& line) {
    for (size_t i = 0; i < args.size(); ++i) {
        const auto shortName = tables.shortNames.find(args[i]);
        std::string arg = shortName == tables.shortNames.end() ? args[i] : shortName->second;
        std::optional<std::string> attached;
        if (const size_t equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
            attached = arg.substr(equals + 1);
            arg.resize(equals);
        }
        if (const auto flag = tables.flags.find(arg); flag != tables.flags.end()) {
            if (attached)
                return arg + " takes no value";
            flag->second(line);
        } else if (const auto option = tables.values.find(arg); option != tables.values.end()) {
            if (!attached && i + 1 == args.size())
                return arg + " needs a value";
            if (auto error = option->second(attached ? *attached : args[++i], line))
                return error;
        } else {
            return "unknown option '" + args[i] + "'";
        }
    }
    return std::nullopt;
}

}  // namespace tamro::cli
