#include "tools/device_command.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "platform/user/remote/socket_path.h"
#include "platform/user/remote/wire_message.h"
#include "platform/user/remote/wire_ops.h"
#include "tools/cli_parse.h"

namespace q407::tools {
namespace {

using remote::MessageHeader;
using remote::MessageKind;
using remote::Op;

// One request to the machine, as a short-lived client of its own: hello, the device call, goodbye.
// This client names no memory of its own in the call, so any memory request the machine might make
// is refused.
class OneShotLink {
  public:
    ~OneShotLink() {
        if (socket_ < 0) return;
        const MessageHeader goodbye{0, static_cast<uint16_t>(Op::Goodbye),
                                    static_cast<uint16_t>(MessageKind::Notice), 0, 0};
        (void)remote::SendMessage(socket_, goodbye, nullptr, 0);  // the machine may be gone
        close(socket_);
    }

    bool Connect(const std::string& path, std::string* error) {
        sockaddr_un address{};
        if (path.size() >= sizeof(address.sun_path)) {
            *error = "the socket path is too long";
            return false;
        }
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (socket_ < 0 ||
            connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            *error = std::strerror(errno);
            return false;
        }
        // A machine that stops answering is as good as gone.
        const timeval patience{30, 0};
        (void)setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
        remote::WireWriter hello;
        hello.U32(remote::kProtocolVersion)
            .U32(static_cast<uint32_t>(getpid()))
            .WString(L"q407 device");
        std::vector<uint8_t> reply;
        if (!Call(Op::Hello, hello, &reply)) {
            *error = "it does not answer";
            return false;
        }
        remote::WireReader in(reply.data(), reply.size());
        if (in.U32() != 0 || !in.Ok()) {
            *error = "it refused this client";
            return false;
        }
        return true;
    }

    bool Call(Op op, const remote::WireWriter& request, std::vector<uint8_t>* reply) {
        const uint32_t id = ++lastId_;
        const MessageHeader h{static_cast<uint32_t>(request.Data().size()),
                              static_cast<uint16_t>(op), static_cast<uint16_t>(MessageKind::Call),
                              id, static_cast<uint32_t>(syscall(SYS_gettid))};
        if (!remote::SendMessage(socket_, h, request.Data().data(), request.Data().size()))
            return false;
        for (;;) {
            remote::Message message;
            if (!remote::ReceiveMessage(socket_, &message)) return false;
            for (int fd : message.fds) close(fd);  // the pool arena: this client maps nothing
            const auto kind = static_cast<MessageKind>(message.header.kind);
            if (kind == MessageKind::Reply && message.header.id == id) {
                *reply = std::move(message.payload);
                return true;
            }
            if (kind == MessageKind::Request && !Refuse(message.header)) return false;
        }
    }

  private:
    bool Refuse(const MessageHeader& request) {
        remote::WireWriter out;
        if (request.op == static_cast<uint16_t>(Op::MapView))
            out.U64(0);
        else if (request.op == static_cast<uint16_t>(Op::ReadMemory))
            out.U32(0).Bytes(nullptr, 0);
        else
            out.U32(0);
        const MessageHeader h{static_cast<uint32_t>(out.Data().size()), request.op,
                              static_cast<uint16_t>(MessageKind::Answer), request.id, 0};
        return remote::SendMessage(socket_, h, out.Data().data(), out.Data().size());
    }

    int socket_ = -1;
    uint32_t lastId_ = 0;
};

void PrintList(const nlohmann::json& answer, std::ostream& out) {
    for (const nlohmann::json& unit : answer.value("units", nlohmann::json::array())) {
        out << "unit " << unit.value("unit", -1) << "  " << unit.value("serial", std::string("?"))
            << "  " << unit.value("state", std::string("?"));
        if (unit.contains("rate") && unit["rate"].is_number())
            out << "  " << unit["rate"].get<uint64_t>() << " Hz";
        out << "\n";
    }
    if (answer.contains("clients") && answer["clients"].is_number())
        out << "clients connected: " << answer["clients"].get<uint64_t>() << "\n";
}

}  // namespace

int DeviceCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::string socket = remote::DefaultMachineSocket();
    bool json = false;
    int unit = -1;
    CLI::App app("Acts on the devices of a running q407 machine.", "q407 device");
    app.add_option("--machine", socket, "the machine's socket")->capture_default_str();
    app.add_flag("--json", json, "print the machine's answer as one JSON object");
    app.require_subcommand(1, 1);
    app.add_subcommand("list",
                       "the units: state (plugged, removing, removed, asleep), rate; "
                       "the clients connected");
    CLI::App* unplug = app.add_subcommand("unplug", "pull unit N out");
    unplug->add_option("N", unit, "the unit")->required()->check(CLI::NonNegativeNumber);
    CLI::App* plug = app.add_subcommand("plug", "plug unit N in again");
    plug->add_option("N", unit, "the unit")->required()->check(CLI::NonNegativeNumber);
    app.add_subcommand("sleep", "put the machine to sleep (S3)");
    app.add_subcommand("wake", "wake the machine");
    if (auto exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;
    const std::string action = app.get_subcommands().front()->get_name();

    nlohmann::json request = {{"action", action}};
    if (unit >= 0) request["unit"] = unit;
    std::string error;
    OneShotLink link;
    if (!link.Connect(socket, &error)) {
        err << "q407 device: no machine on " << socket << ": " << error << "\n";
        return kDeviceExitNoMachine;
    }
    remote::WireWriter writer;
    writer.String(request.dump());
    std::vector<uint8_t> reply;
    if (!link.Call(Op::DeviceCommand, writer, &reply)) {
        err << "q407 device: the machine on " << socket << " went away\n";
        return kDeviceExitNoMachine;
    }
    remote::WireReader reader(reply.data(), reply.size());
    const nlohmann::json answer = nlohmann::json::parse(reader.String(), nullptr, false);
    if (!reader.Ok() || !answer.is_object() || !answer.contains("ok") ||
        !answer["ok"].is_boolean()) {
        err << "q407 device: the machine's answer cannot be read\n";
        return kDeviceExitNoMachine;
    }
    if (json) out << answer.dump() << "\n";
    if (!answer["ok"].get<bool>()) {
        err << "q407 device: refused: " << answer.value("error", std::string("no reason given"))
            << "\n";
        return kDeviceExitRefused;
    }
    if (json) return kDeviceExitOk;
    if (action == "list") {
        PrintList(answer, out);
    } else if (action == "sleep" || action == "wake") {
        out << "machine " << (answer.value("asleep", false) ? "asleep" : "awake") << "\n";
    } else {
        out << "unit " << unit << ": " << answer.value("state", std::string("?")) << "\n";
    }
    return kDeviceExitOk;
}

}  // namespace q407::tools
