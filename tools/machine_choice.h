// Which machine a client command runs against: a running machine (`q407 machine`) on --machine
// SOCKET, or the one answering on the default socket, or else a private machine the command boots
// for itself as it always has (--private forces that). A command linked to a running machine makes
// its calls from plain threads of its own; the machine runs them in the command's process there.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace q407::tools {

struct MachineOptions {
    std::string socket;        // --machine SOCKET (empty: not given)
    bool privateOnly = false;  // --private
};

// Adds --machine and --private to a command.
void AddMachineOptions(CLI::App& app, MachineOptions* options);

// The options among `names` that were given on the command line.
std::vector<std::string> GivenOptions(const CLI::App& app, const std::vector<std::string>& names);

class MachineChoice {
  public:
    MachineChoice() = default;
    ~MachineChoice();  // disconnects from a running machine
    MachineChoice(const MachineChoice&) = delete;
    MachineChoice& operator=(const MachineChoice&) = delete;

    // Decides for `command` ("q407 info") and links to a running machine when that is the
    // choice. `privateGiven` names options given that only a private machine serves: with
    // --machine they are refused, without it they choose the private machine. `useDefault`: a
    // machine answering on the default socket is used (false: only with --machine). Returns the
    // exit status when the command should end now, the message written to err: 2 for refused
    // options, 1 when nothing answers on --machine.
    std::optional<int> Choose(const MachineOptions& options, const std::string& command,
                              const std::vector<std::string>& privateGiven, bool useDefault,
                              std::ostream& err);

    bool Linked() const { return linked_; }
    const std::string& Socket() const { return socket_; }
    // "the running machine on SOCKET" or "a private machine", for reports.
    std::string Describe() const;

  private:
    bool linked_ = false;
    std::string socket_;
};

}  // namespace q407::tools
