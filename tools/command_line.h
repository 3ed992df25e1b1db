// Small helpers for the q407 command's argument parsing: strict number parsing with ranges, so
// that a mistyped option is refused with a clear message instead of being read as 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace q407::tools {

// The whole text must be a decimal integer inside [min, max].
std::optional<int64_t> ParseInteger(std::string_view text, int64_t min, int64_t max);
// The whole text must be a non-negative decimal number (digits with at most one point) inside
// (0, max].
std::optional<double> ParsePositiveNumber(std::string_view text, double max);

// "--name=value" or "--name value": returns the value and moves index past what it used. Null
// when argument is not the option; error set when the option lacks its value.
std::optional<std::string> TakeOptionValue(int argc, char** argv, int* index, std::string_view name,
                                           std::string* error);

// What every streaming subcommand takes: --seconds, --rate, --buffers and --help.
struct RunOptions {
    double seconds = 10.0;
    uint32_t rate = 48000;
    uint32_t buffers = 4;  // USB buffer count n
    bool help = false;
};

enum class OptionTaken { No, Yes, Refused };

// Takes argv[*index] when it is one of the RunOptions, moving index past what it used. Refused,
// with error set, when its value is missing or not usable.
OptionTaken TakeRunOption(int argc, char** argv, int* index, RunOptions* options,
                          std::string* error);

}  // namespace q407::tools

namespace q407::tools {

// "1-8", "1,3,5", "2-4,9": 1-based channel numbers up to `count`, returned 0-based in the order
// given, each once. Empty, with error set, when the text is not such a list.
std::vector<long> ParseChannelList(std::string_view text, long count, std::string* error);

}  // namespace q407::tools
