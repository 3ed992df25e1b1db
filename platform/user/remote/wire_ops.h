// The operations a client process and the machine exchange, numbered once for both sides.
// Payload layouts (WireWriter order) are written next to each; every reply to a core call starts
// with U32 win32Error (0 = success).
#pragma once

#include <cstdint>

namespace q407::remote {

inline constexpr uint32_t kProtocolVersion = 1;

enum class Op : uint16_t {
    // Core.
    Hello = 1,            // U32 protocolVersion, U32 clientPid, WString programName
                          //   -> U32 err, U32 processId; fds[0] = the pool arena's memfd
    GetClassDevs = 2,     // Guid, U32 flags -> U32 err, U32 count, WString path x count
    CreateFile = 3,       // WString path, U32 access, U32 share, U32 disposition, U32 flags
                          //   -> U32 err, U64 handle
    DeviceIoControl = 4,  // U64 handle, U32 code, U64 inAddress, U32 inLength, Bytes(input),
                          // U64 outAddress, U32 outLength
                          //   -> U32 err, U32 bytesReturned, Bytes(output written so far)
    CloseHandle = 5,      // U64 handle -> U32 err
    CreateEvent = 6,      // U32 manualReset, U32 initialState -> U32 err, U64 handle;
                          //   fds[0] = the event's eventfd
    RegisterDeviceNotification = 7,    // Bytes(filter), U64 recipient, U32 flags
                                       //   -> U32 err, U64 notifyHandle; fds[0] = eventfd
    UnregisterDeviceNotification = 8,  // U64 notifyHandle -> U32 err
    TakeDeviceChange = 9,              // U64 notifyHandle, U32 recordSize
                           //   -> U32 err, U64 recipient, U64 wParam, U32 requiredSize, Bytes
    Goodbye = 10,  // notice from the client at an orderly disconnect

    // Machine -> client requests, while one of the client's calls is in progress.
    ReadMemory = 0x40,   // U64 address, U32 length -> U32 ok, Bytes(data)
    WriteMemory = 0x41,  // U64 address, Bytes(data) -> U32 ok
    MapView = 0x42,      // U64 arenaOffset, U64 length -> U64 clientAddress (0: failed)
    UnmapView = 0x43,    // notice: U64 clientAddress, U64 length

    // Windows across processes.
    RegisterWindow = 0x100,
    UnregisterWindow = 0x101,
    FindWindow = 0x102,
    PostMessage = 0x103,
    PostedMessage = 0x104,  // notice, machine -> the window's owner

    // Devices: String(JSON) both ways.
    DeviceCommand = 0x200,

    // Audio: 0x300..0x33F.
};

}  // namespace q407::remote
