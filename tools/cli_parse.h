// Parsing a q407 subcommand's arguments with CLI11, the same way for every command: --help prints
// the options to standard output and ends with 0, a refused argument is named on standard error
// with a pointer to --help and ends with 2.
#pragma once

#include <iosfwd>
#include <optional>

namespace CLI {
class App;
}

namespace q407::tools {

// argv holds the subcommand's own arguments (argv[0] is the first of them). The exit status when
// the command should end now, or nothing when it should run.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv, std::ostream& out,
                                    std::ostream& err);

}  // namespace q407::tools
