// A client's data ranges and data formats as untrusted bytes: the wave pins' intersection and the
// streams' format validation read nothing outside the bytes given, write nothing outside the
// answer buffer, answer only formats the device plays, and accept their own answers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "wdmdriver/wave_data_range.h"
#include "wdmdriver/wave_filter_descriptions.h"
#include "wdmdriver/wave_format.h"

namespace {

using q407::fuzzing::Check;
using q407::fuzzing::Input;
namespace wdm = q407::wdm;

constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0x5C;
constexpr ULONG kRates[] = {44100, 48000, 88200, 96000, 0, 32000};

// Exactly the bytes of a slice in a block of their own, so that reading past them is caught.
std::vector<uint8_t> Slice(const uint8_t* data, size_t size, size_t from, size_t length) {
    if (from > size) from = size;
    if (length > size - from) length = size - from;
    return std::vector<uint8_t>(data + from, data + from + length);
}

void CheckAcceptedFacts(const wdm::WaveFormatFacts& facts, ULONG maxChannels) {
    if (facts.formatTag == wdm::kFormatTagPcm || facts.formatTag == wdm::kFormatTagExtensible) {
        Check(facts.channels >= 2 && facts.channels <= maxChannels);
        Check(facts.bitsPerSample >= 16 && facts.bitsPerSample <= 32 && facts.bitsPerSample != 24);
        Check(wdm::IsDeviceRate(facts.rate));
        Check(facts.blockAlign == facts.channels * (facts.bitsPerSample / 8));
        return;
    }
    Check(facts.formatTag == wdm::kFormatTagAc3Spdif || facts.formatTag == wdm::kFormatTagWmaSpdif);
    Check(facts.channels >= 1 && facts.channels <= 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t mode = in.Byte();
    const uint8_t lengthChoice = in.Byte();
    const size_t split = in.Byte();
    const size_t header = 3;
    const bool multichannel = (mode & 1) != 0;
    const ULONG pin = (mode >> 1) & 3;
    const ULONG deviceRate = kRates[(mode >> 3) % 6];
    // Mostly the answer's size; sometimes a short or empty buffer.
    const ULONG bufferLength = lengthChoice < 200 ? 104 : lengthChoice - 200u;
    const ULONG maxChannels = multichannel ? 8 : 2;

    // The client's range.
    std::vector<uint8_t> range = Slice(data, size, header, split);
    std::vector<uint8_t> answer(kGuard + bufferLength + kGuard, kGuardByte);
    ULONG length = 0;
    const wdm::IntersectionQuery query{pin,
                                       reinterpret_cast<const KSDATARANGE*>(range.data()),
                                       static_cast<ULONG>(range.size()),
                                       &wdm::WavePinDataRange()->DataRange,
                                       sizeof(KSDATARANGE_AUDIO),
                                       deviceRate,
                                       static_cast<BOOLEAN>(multichannel)};
    const NTSTATUS status =
        wdm::IntersectWaveRange(query, bufferLength, answer.data() + kGuard, &length);
    for (size_t i = 0; i < kGuard; ++i) {
        Check(answer[i] == kGuardByte);
        Check(answer[kGuard + bufferLength + i] == kGuardByte);
    }
    if (bufferLength == 0) Check(status == STATUS_BUFFER_OVERFLOW && length == 104);
    if (status == STATUS_SUCCESS) {
        Check(bufferLength >= 104 && length == 104);
        WAVEFORMATEXTENSIBLE wave;
        std::memcpy(&wave, answer.data() + kGuard + sizeof(KSDATAFORMAT), sizeof(wave));
        Check(wave.Format.nSamplesPerSec == deviceRate);
        Check(wave.Format.nChannels <= maxChannels &&
              wdm::ChannelMaskFor(wave.Format.nChannels) == wave.dwChannelMask);
        Check(wave.Format.wBitsPerSample >= 16 && wave.Format.wBitsPerSample <= 32);
        if (!multichannel || pin == wdm::kRecordingPin) Check(wave.Format.nChannels == 2);
        // The answer in whole bytes per sample at a device rate is a format the stream takes.
        if (wave.Format.wBitsPerSample % 8 == 0 && wdm::IsDeviceRate(deviceRate)) {
            wdm::WaveFormatFacts facts{};
            Check(wdm::ValidateWaveFormat(
                      reinterpret_cast<const KSDATAFORMAT*>(answer.data() + kGuard), 104,
                      maxChannels, &facts) == STATUS_SUCCESS);
        }
    } else {
        Check(status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL ||
              status == STATUS_NO_MATCH);
    }

    // The same bytes and the rest as a data format.
    for (size_t from : {header, header + split}) {
        std::vector<uint8_t> format = Slice(data, size, from, size);
        wdm::WaveFormatFacts facts{};
        if (wdm::ValidateWaveFormat(reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                    static_cast<ULONG>(format.size()), maxChannels,
                                    &facts) == STATUS_SUCCESS)
            CheckAcceptedFacts(facts, maxChannels);
    }
    return 0;
}
