#include "platform/user/program_launcher.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/user/remote/client_link.h"

extern char** environ;

namespace q407::win32::bench {
namespace {

// The last path element, lower-cased (ASCII: the names we know are).
std::wstring BaseNameLower(const std::wstring& file) {
    const size_t slash = file.find_last_of(L"\\/");
    std::wstring base = slash == std::wstring::npos ? file : file.substr(slash + 1);
    for (wchar_t& c : base)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return base;
}

std::vector<std::string> PanelCommand(const std::string& machineSocket) {
    if (const char* command = std::getenv("Q407_PANEL_COMMAND"); command != nullptr && *command)
        return {"/bin/sh", "-c", command};
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    const std::filesystem::path tool = self.parent_path() / "q407";
    if (access(tool.c_str(), X_OK) != 0) return {};
    if (machineSocket.empty()) return {tool.string(), "panel"};
    return {tool.string(), "panel", "--machine", machineSocket};
}

}  // namespace

std::vector<std::string> KnownProgramCommand(const std::wstring& file,
                                             const std::string& machineSocket) {
    if (BaseNameLower(file) == L"q407pan.exe") return PanelCommand(machineSocket);
    return {};
}

bool StartKnownProgram(const std::wstring& file) {
    const remote::ClientLink* link = remote::ClientLink::Current();
    const std::vector<std::string> command =
        KnownProgramCommand(file, link != nullptr ? link->SocketPath() : std::string());
    if (command.empty()) return false;
    std::vector<char*> argv;
    for (const std::string& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    // Collected in the background so that it leaves no zombie; nobody waits for the program.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

}  // namespace q407::win32::bench
