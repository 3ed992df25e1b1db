#include "platform/user/remote/own_memory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace q407::remote {
namespace {

// process_vm_readv/writev on our own pid report EFAULT for an unmapped range instead of faulting;
// where they are not allowed (ENOSYS, EPERM) a pipe's copy reports EFAULT the same way.
bool Copy(void* destination, const void* source, size_t length, bool fromNamed) {
    if (length == 0) return true;
    iovec local{fromNamed ? destination : const_cast<void*>(source), length};
    iovec named{fromNamed ? const_cast<void*>(source) : destination, length};
    const ssize_t n = fromNamed ? process_vm_readv(getpid(), &local, 1, &named, 1, 0)
                                : process_vm_writev(getpid(), &local, 1, &named, 1, 0);
    if (n == static_cast<ssize_t>(length)) return true;
    if (n >= 0 || (errno != ENOSYS && errno != EPERM)) return false;
    int fds[2];
    if (pipe(fds) != 0) return false;
    bool ok = true;
    const auto* src = static_cast<const uint8_t*>(source);
    auto* dst = static_cast<uint8_t*>(destination);
    for (size_t done = 0; ok && done < length;) {
        const size_t chunk = std::min<size_t>(length - done, 4096);
        ok = write(fds[1], src + done, chunk) == static_cast<ssize_t>(chunk) &&
             read(fds[0], dst + done, chunk) == static_cast<ssize_t>(chunk);
        done += chunk;
    }
    close(fds[0]);
    close(fds[1]);
    return ok;
}

}  // namespace

bool ReadOwnMemory(void* destination, uintptr_t address, size_t length) {
    if (length != 0 && address == 0) return false;
    return Copy(destination, reinterpret_cast<const void*>(address), length, true);
}

bool WriteOwnMemory(uintptr_t address, const void* source, size_t length) {
    if (length != 0 && address == 0) return false;
    return Copy(reinterpret_cast<void*>(address), source, length, false);
}

}  // namespace q407::remote
