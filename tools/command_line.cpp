#include "tools/command_line.h"

#include <charconv>

namespace q407::tools {
namespace {

constexpr double kMaxSeconds = 24.0 * 3600.0;

}  // namespace

std::optional<int64_t> ParseInteger(std::string_view text, int64_t min, int64_t max) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    if (value < min || value > max) return std::nullopt;
    return value;
}

std::optional<double> ParsePositiveNumber(std::string_view text, double max) {
    if (text.empty()) return std::nullopt;
    double whole = 0;
    double fraction = 0;
    double scale = 1;
    bool point = false;
    bool digits = false;
    for (char c : text) {
        if (c == '.') {
            if (point) return std::nullopt;
            point = true;
        } else if (c >= '0' && c <= '9') {
            digits = true;
            if (point) {
                scale /= 10;
                fraction += (c - '0') * scale;
            } else {
                whole = whole * 10 + (c - '0');
                if (whole > max) return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    }
    const double value = whole + fraction;
    if (!digits || value <= 0 || value > max) return std::nullopt;
    return value;
}

std::optional<std::string> TakeOptionValue(int argc, char** argv, int* index, std::string_view name,
                                           std::string* error) {
    const std::string_view argument = argv[*index];
    if (argument == name) {
        if (*index + 1 >= argc) {
            *error = std::string("option ") + std::string(name) + " needs a value";
            return std::nullopt;
        }
        *index += 2;
        return std::string(argv[*index - 1]);
    }
    if (argument.size() > name.size() && argument.substr(0, name.size()) == name &&
        argument[name.size()] == '=') {
        *index += 1;
        return std::string(argument.substr(name.size() + 1));
    }
    return std::nullopt;
}

OptionTaken TakeRunOption(int argc, char** argv, int* index, RunOptions* options,
                          std::string* error) {
    const std::string_view argument = argv[*index];
    if (argument == "--help" || argument == "-h") {
        options->help = true;
        ++*index;
        return OptionTaken::Yes;
    }
    if (auto v = TakeOptionValue(argc, argv, index, "--seconds", error)) {
        const auto seconds = ParsePositiveNumber(*v, kMaxSeconds);
        if (!seconds) {
            *error = "--seconds takes a positive number of seconds, not '" + *v + "'";
            return OptionTaken::Refused;
        }
        options->seconds = *seconds;
        return OptionTaken::Yes;
    }
    if (auto v = TakeOptionValue(argc, argv, index, "--rate", error)) {
        const auto rate = ParseInteger(*v, 1, 1'000'000);
        if (!rate || (*rate != 44100 && *rate != 48000 && *rate != 88200 && *rate != 96000)) {
            *error = "--rate takes 44100, 48000, 88200 or 96000, not '" + *v + "'";
            return OptionTaken::Refused;
        }
        options->rate = static_cast<uint32_t>(*rate);
        return OptionTaken::Yes;
    }
    if (auto v = TakeOptionValue(argc, argv, index, "--buffers", error)) {
        const auto buffers = ParseInteger(*v, 2, 5);
        if (!buffers) {
            *error = "--buffers takes a USB buffer count of 2 to 5, not '" + *v + "'";
            return OptionTaken::Refused;
        }
        options->buffers = static_cast<uint32_t>(*buffers);
        return OptionTaken::Yes;
    }
    return error->empty() ? OptionTaken::No : OptionTaken::Refused;
}

}  // namespace q407::tools

namespace q407::tools {

std::vector<long> ParseChannelList(std::string_view text, long count, std::string* error) {
    std::vector<long> channels;
    auto refuse = [&](const std::string& why) {
        *error = why;
        channels.clear();
        return channels;
    };
    if (text.empty()) return refuse("an empty channel list");
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = text.find(',', at);
        const std::string_view item =
            text.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
        const size_t dash = item.find('-');
        const auto first = ParseInteger(item.substr(0, dash), 1, count);
        const auto last =
            dash == std::string_view::npos ? first : ParseInteger(item.substr(dash + 1), 1, count);
        if (!first || !last || *last < *first) {
            std::string why(1, '\'');
            why.append(item);
            why.append("' is not a channel or range of channels 1 to ");
            why.append(std::to_string(count));
            return refuse(why);
        }
        for (int64_t c = *first; c <= *last; ++c) {
            for (long seen : channels)
                if (seen == c - 1)
                    return refuse("channel " + std::to_string(c) + " is named twice");
            channels.push_back(static_cast<long>(c - 1));
        }
        if (comma == std::string_view::npos) break;
        at = comma + 1;
    }
    return channels;
}

}  // namespace q407::tools
