#include "tools/cli_parse.h"

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace q407::tools {

std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv, std::ostream& out,
                                    std::ostream& err) {
    // CLI11 takes the arguments last first.
    std::vector<std::string> args;
    for (int i = argc - 1; i >= 0; --i) args.emplace_back(argv[i]);
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return 0;
    } catch (const CLI::ParseError& e) {
        err << app.get_name() << ": " << e.what() << "\nRun '" << app.get_name()
            << " --help' for the options.\n";
        return 2;
    }
    return std::nullopt;
}

}  // namespace q407::tools
