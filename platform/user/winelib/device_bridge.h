// The boundary between a winelib program's Win32 device calls and the machine client built by the
// host compiler. Plain C types only: wchar_t has 2 bytes on the winelib side and 4 on this one,
// so strings cross as UTF-8, GUIDs as their 16-byte record, handles as 64-bit values.
//
// Every call returns 1 on success and 0 on failure with *error set to a Win32 error code. Calls
// are thread-safe. The first one connects to the machine on $Q407_MACHINE (or the default
// socket); when no machine answers, enumeration finds no interface and opening fails with
// ERROR_FILE_NOT_FOUND. A machine that went away is dropped and looked for again on the next
// enumeration or open; handles from the old one fail with ERROR_NO_SUCH_DEVICE.
//
// Threads of this side never call Win32: a notification registration is served by a thread the
// winelib side creates, which blocks in q407_bridge_wait_change and delivers what
// q407_bridge_take_change hands it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Handles and registrations of the bridge carry this tag in their top 16 bits: values Wine never
// hands out, so the winelib side tells them from its own without asking.
#define Q407_BRIDGE_TAG 0x5140ull
#define Q407_BRIDGE_IS_OURS(value) (((uint64_t)(value) >> 48) == Q407_BRIDGE_TAG)

struct q407_bridge_guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// The name this program gives the machine (its module name, UTF-8). Before the first call.
void q407_bridge_set_program(const char* name);

// The paths of the enabled interfaces of a class, as "path\0path\0\0" (UTF-8) in paths. With
// size too small (or paths null), 0 with ERROR_INSUFFICIENT_BUFFER and *required set.
int q407_bridge_class_paths(const struct q407_bridge_guid* guid, uint32_t flags, char* paths,
                            uint32_t size, uint32_t* required, uint32_t* error);

int q407_bridge_open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                     uint32_t attributes, uint64_t* handle, uint32_t* error);
int q407_bridge_control(uint64_t handle, uint32_t code, void* input, uint32_t inputSize,
                        void* output, uint32_t outputSize, uint32_t* returned, uint32_t* error);
int q407_bridge_close(uint64_t handle, uint32_t* error);

// Device-interface notifications for recipient (a window handle's value). The filter's size,
// device type and class are those of the caller's DEV_BROADCAST_DEVICEINTERFACE_W.
int q407_bridge_register(uint64_t recipient, uint32_t filterSize, uint32_t deviceType,
                         const struct q407_bridge_guid* classGuid, uint32_t flags,
                         uint64_t* registration, uint32_t* error);
// Blocks until a change is queued (1), the registration ended (0) or the machine went away (0).
int q407_bridge_wait_change(uint64_t registration);
// Takes the oldest queued change: *event (DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE), the
// interface class and path (UTF-8). 0 with ERROR_NO_MORE_ITEMS when none is queued. A path
// longer than nameSize allows is cut: 0 with ERROR_INSUFFICIENT_BUFFER, *required its full size,
// the change taken all the same (event and class set).
int q407_bridge_take_change(uint64_t registration, uint32_t* event,
                            struct q407_bridge_guid* classGuid, char* name, uint32_t nameSize,
                            uint32_t* required, uint32_t* error);
// Ends the registration: no change is queued after it and the waiting thread returns 0.
int q407_bridge_unregister(uint64_t registration, uint32_t* error);
// The serving thread's last call: frees what is left of the registration.
void q407_bridge_release(uint64_t registration);

// A top-level window of this program that other processes of the machine find by class
// (FindWindowW) and post messages to (PostMessageW). The winelib side registers its real window
// and a thread of Wine's takes what is posted and posts it on to that window.
int q407_bridge_window_register(const char* className, uint64_t* registration, uint32_t* error);
// Waits at most timeoutMs for a message posted to the window: 1 with it taken, 0 when none came,
// -1 when the registration is unknown or its machine went away (register again then).
int q407_bridge_window_take(uint64_t registration, uint32_t timeoutMs, uint32_t* message,
                            uint64_t* wParam, int64_t* lParam);
// Takes the window off the machine; what was queued for it is dropped.
void q407_bridge_window_unregister(uint64_t registration);

#ifdef __cplusplus
}
#endif
