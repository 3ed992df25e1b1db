// The published ASIO driver interface: the records a host and a driver exchange, the result
// codes, the message and future selectors, and the IASIO table in its slot order. Our own
// declarations, the same in every build; `long` is the interface's word (32 bits on Windows).
#pragma once

#include "platform/com/com_base.h"

using ASIOBool = long;
using ASIOError = long;
using ASIOSampleRate = double;
using ASIOSampleType = long;

inline constexpr ASIOBool ASIOFalse = 0;
inline constexpr ASIOBool ASIOTrue = 1;

// Results.
inline constexpr ASIOError ASE_OK = 0;
inline constexpr ASIOError ASE_SUCCESS = 0x3F4847A0;  // answer of future() for a supported selector
inline constexpr ASIOError ASE_NotPresent = -1000;
inline constexpr ASIOError ASE_HWMalfunction = -999;
inline constexpr ASIOError ASE_InvalidParameter = -998;
inline constexpr ASIOError ASE_InvalidMode = -997;
inline constexpr ASIOError ASE_SPNotAdvancing = -996;
inline constexpr ASIOError ASE_NoClock = -995;
inline constexpr ASIOError ASE_NoMemory = -994;

// Sample types (the one this driver offers is 32-bit little-endian integers).
inline constexpr ASIOSampleType ASIOSTInt16MSB = 0;
inline constexpr ASIOSampleType ASIOSTInt24MSB = 1;
inline constexpr ASIOSampleType ASIOSTInt32MSB = 2;
inline constexpr ASIOSampleType ASIOSTFloat32MSB = 3;
inline constexpr ASIOSampleType ASIOSTFloat64MSB = 4;
inline constexpr ASIOSampleType ASIOSTInt16LSB = 16;
inline constexpr ASIOSampleType ASIOSTInt24LSB = 17;
inline constexpr ASIOSampleType ASIOSTInt32LSB = 18;
inline constexpr ASIOSampleType ASIOSTFloat32LSB = 19;
inline constexpr ASIOSampleType ASIOSTFloat64LSB = 20;

// A 64-bit count as two words, high first.
struct ASIOSamples {
    unsigned long hi;
    unsigned long lo;
};
// Nanoseconds as two words, high first.
struct ASIOTimeStamp {
    unsigned long hi;
    unsigned long lo;
};

// Selectors of the host's asioMessage callback.
inline constexpr long kAsioSelectorSupported = 1;
inline constexpr long kAsioEngineVersion = 2;
inline constexpr long kAsioResetRequest = 3;
inline constexpr long kAsioBufferSizeChange = 4;
inline constexpr long kAsioResyncRequest = 5;
inline constexpr long kAsioLatenciesChanged = 6;
inline constexpr long kAsioSupportsTimeInfo = 7;
inline constexpr long kAsioSupportsTimeCode = 8;
inline constexpr long kAsioMMCCommand = 9;
inline constexpr long kAsioSupportsInputMonitor = 10;
inline constexpr long kAsioSupportsInputGain = 11;
inline constexpr long kAsioSupportsInputMeter = 12;
inline constexpr long kAsioSupportsOutputGain = 13;
inline constexpr long kAsioSupportsOutputMeter = 14;
inline constexpr long kAsioOverload = 15;

// Selectors of the driver's future().
inline constexpr long kAsioEnableTimeCodeRead = 1;
inline constexpr long kAsioDisableTimeCodeRead = 2;
inline constexpr long kAsioSetInputMonitor = 3;
inline constexpr long kAsioTransport = 4;
inline constexpr long kAsioSetInputGain = 5;
inline constexpr long kAsioGetInputMeter = 6;
inline constexpr long kAsioSetOutputGain = 7;
inline constexpr long kAsioGetOutputMeter = 8;
inline constexpr long kAsioCanInputMonitor = 9;
inline constexpr long kAsioCanTimeInfo = 10;
inline constexpr long kAsioCanTimeCode = 11;
inline constexpr long kAsioCanTransport = 12;
inline constexpr long kAsioCanInputGain = 13;
inline constexpr long kAsioCanInputMeter = 14;
inline constexpr long kAsioCanOutputGain = 15;
inline constexpr long kAsioCanOutputMeter = 16;

// AsioTimeInfo flags.
inline constexpr unsigned long kSystemTimeValid = 1;
inline constexpr unsigned long kSamplePositionValid = 1 << 1;
inline constexpr unsigned long kSampleRateValid = 1 << 2;
inline constexpr unsigned long kSpeedValid = 1 << 3;
inline constexpr unsigned long kSampleRateChanged = 1 << 4;
inline constexpr unsigned long kClockSourceChanged = 1 << 5;

// ASIOTimeCode flags.
inline constexpr unsigned long kTcValid = 1;
inline constexpr unsigned long kTcRunning = 1 << 1;
inline constexpr unsigned long kTcReverse = 1 << 2;
inline constexpr unsigned long kTcOnspeed = 1 << 3;
inline constexpr unsigned long kTcStill = 1 << 4;
inline constexpr unsigned long kTcSpeedValid = 1 << 8;

struct AsioTimeInfo {
    double speed;  // 1.0 at nominal speed
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    unsigned long flags;
    char reserved[12];
};

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    unsigned long flags;
    char future[64];
};

struct ASIOTime {
    long reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

// The host's entry points, given to the driver with createBuffers.
struct ASIOCallbacks {
    void (*bufferSwitch)(long doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate sRate);
    long (*asioMessage)(long selector, long value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, long doubleBufferIndex,
                                      ASIOBool directProcess);
};

struct ASIOClockSource {
    long index;
    long associatedChannel;
    long associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    long channel;      // in: channel number
    ASIOBool isInput;  // in
    ASIOBool isActive;
    long channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;  // in
    long channelNum;   // in
    void* buffers[2];  // out: the two halves
};

// The driver object's interface. Slots 0..2 are IUnknown's; the order below is slots 3..23.
struct IASIO : public IUnknown {
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;
    virtual long getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0;
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(long* numInputChannels, long* numOutputChannels) = 0;
    virtual ASIOError getLatencies(long* inputLatency, long* outputLatency) = 0;
    virtual ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                    long* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) = 0;
    virtual ASIOError setClockSource(long reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(long selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;

  protected:
    ~IASIO() = default;
};

// Records hosts hand over: sizes in the interface's own word, so they hold under LP64 (the bench)
// and LLP64 (Windows, where long is 32 bits).
static_assert(sizeof(ASIOSamples) == 2 * sizeof(long));
static_assert(sizeof(ASIOClockSource) == 4 * sizeof(long) + 32);
static_assert(sizeof(ASIOChannelInfo) == 5 * sizeof(long) + 32);
static_assert(sizeof(ASIOBufferInfo) == 2 * sizeof(long) + 2 * sizeof(void*));
static_assert(sizeof(long) != 4 || (sizeof(AsioTimeInfo) == 48 && sizeof(ASIOTimeCode) == 88 &&
                                    sizeof(ASIOTime) == 152));
