#include "tools/machine_choice.h"

#include <CLI/CLI.hpp>
#include <ostream>

#include "platform/user/remote/client_link.h"
#include "platform/user/remote/socket_path.h"
#include "tools/subdevice_listing.h"

namespace q407::tools {

void AddMachineOptions(CLI::App& app, MachineOptions* options) {
    CLI::Option* machine = app.add_option(
        "--machine", options->socket,
        "run against the machine serving SOCKET (default: the one on " +
            remote::DefaultMachineSocket() + " when it answers, else a private one)");
    CLI::Option* own =
        app.add_flag("--private", options->privateOnly, "boot a private machine for this command");
    machine->excludes(own);
}

std::vector<std::string> GivenOptions(const CLI::App& app, const std::vector<std::string>& names) {
    std::vector<std::string> given;
    for (const std::string& name : names)
        if (app.count(name) != 0) given.push_back(name);
    return given;
}

MachineChoice::~MachineChoice() {
    if (linked_) remote::ClientLink::Disconnect();
}

std::optional<int> MachineChoice::Choose(const MachineOptions& options, const std::string& command,
                                         const std::vector<std::string>& privateGiven,
                                         bool useDefault, std::ostream& err) {
    linked_ = false;
    socket_.clear();
    if (options.privateOnly) return std::nullopt;
    const bool asked = !options.socket.empty();
    if (asked && !privateGiven.empty()) {
        err << command << ": " << privateGiven.front()
            << " needs a private machine; it cannot be used with --machine\n";
        return 2;
    }
    if (!asked && (!useDefault || !privateGiven.empty())) return std::nullopt;
    const std::string socket = asked ? options.socket : remote::DefaultMachineSocket();
    std::string error;
    if (!remote::ClientLink::Connect(socket, Widen(command), &error)) {
        if (!asked) return std::nullopt;  // no machine running: a private one
        err << command << ": no machine on " << socket << ": " << error << "\n";
        return 1;
    }
    linked_ = true;
    socket_ = socket;
    return std::nullopt;
}

std::string MachineChoice::Describe() const {
    return linked_ ? "the running machine on " + socket_ : "a private machine";
}

}  // namespace q407::tools
