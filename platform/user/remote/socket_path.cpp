#include "platform/user/remote/socket_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace q407::remote {

std::string DefaultMachineSocket() {
    if (const char* chosen = std::getenv("Q407_MACHINE"); chosen != nullptr && *chosen != '\0')
        return chosen;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && *runtime != '\0') {
        struct stat info {};
        if (stat(runtime, &info) == 0 && S_ISDIR(info.st_mode))
            return std::string(runtime) + "/q407/machine.sock";
    }
    return "/tmp/q407-" + std::to_string(getuid()) + "/machine.sock";
}

}  // namespace q407::remote
