// The calling thread's last error, on its own so that the linked half of platform/user can be
// built without the emulated machine (a winelib program links it with the remote calls alone).
#include "platform/user/bench_win32.h"

namespace q407::win32 {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

}  // namespace q407::win32
