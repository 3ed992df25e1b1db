// The operations a client process and the machine exchange, numbered once for both sides.
// Payload layouts (WireWriter order) are written next to each; every reply to a core call starts
// with U32 win32Error (0 = success).
//
// Points both sides rely on beyond the layouts:
// - Notices reach a client's handlers on a thread of the link's own, in order, not on the
//   receiver thread: a handler (a window told to refresh) may then call the machine without
//   waiting on the very thread that would deliver its reply.
// - ReceiveMessage refuses a header whose kind is not a MessageKind, as it refuses an oversized
//   payload; SendMessage refuses a header whose payloadLength disagrees with the bytes given.
// - A client unmaps only views it mapped for a MapView request (address and length as
//   answered); any other UnmapView is ignored.
// - An unreadable DeviceIoControl input buffer fails in the client (ERROR_NOACCESS) without a
//   call, so the input copy always covers [inAddress, +inLength).
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

    // Audio: 0x300..0x33F. The audio client API of a linked program; payloads in
    // sim/host/portcls/audio_wire.h.
    AudioListSubdevices = 0x300,
    AudioListMixerLines = 0x301,
    AudioSetMute = 0x302,
    AudioGetMute = 0x303,
    WavePinOpen = 0x310,
    WavePinSetState = 0x311,
    WavePinWrite = 0x312,
    WavePinRead = 0x313,
    WavePinQueued = 0x314,
    WavePinPosition = 0x315,
    WavePinClose = 0x316,
    MidiPortOpen = 0x320,
    MidiPortSend = 0x321,
    MidiPortReceive = 0x322,
    MidiPortClose = 0x323,
};

}  // namespace q407::remote
