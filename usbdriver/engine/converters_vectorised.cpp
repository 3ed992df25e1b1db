// Vectorised converters. Integer vector operations only: nothing here reads or changes the x87
// or MXCSR state. The AVX2 variants are compiled for that target alone and run only on
// processors that have it, with the AVX state saved by the caller; the rest of the driver keeps
// the x86-64 baseline.
//
// Capture: a byte of the unit holds one bit of eight channels, so the byte sequence of one
// half-frame is an 8 x 24 bit matrix to be transposed. AVX2: with the 32 bytes reversed in a
// register, a byte-sign mask gives one channel's bits in sample order, and doubling every byte
// brings the next line to the sign position. SSE2: each 8 bytes are flipped as an 8 x 8 matrix
// in place and the resulting sample bytes interleaved into 32-bit samples.
//
// Playback: byte b of the eight samples of a frame, in the order 7, 5, 3, 1, 6, 4, 2, 0, forms an
// 8 x 8 bit matrix whose anti-diagonal transpose is exactly eight unit bytes: bit 31-k of the
// even channels in the low nibble, of the odd channels in the high nibble.
#include "usbdriver/engine/sample_converters.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace q407 {

#if defined(__x86_64__)

namespace {

inline void StoreSample(uint8_t* p, uint32_t v) {
    RtlCopyMemory(p, &v, sizeof(v));
}

// --- SSE2 ---

// Transposes the 4 x 4 bytes of four 32-bit lanes: dword b of the result is byte b of lanes
// 0..3.
inline __m128i TransposeBytes4x4(__m128i x) {
    x = _mm_unpacklo_epi8(x, _mm_srli_si128(x, 8));
    return _mm_unpacklo_epi8(x, _mm_srli_si128(x, 8));
}

// Anti-diagonal transpose of the 8 x 8 bit matrix in each 64-bit lane: bit 8r + c moves to bit
// 8(7 - c) + 7 - r.
inline __m128i FlipAntiDiagonal(__m128i x) {
    const __m128i k1 = _mm_set1_epi64x(static_cast<int64_t>(0xAA00AA00AA00AA00ull));
    const __m128i k2 = _mm_set1_epi64x(static_cast<int64_t>(0xCCCC0000CCCC0000ull));
    const __m128i k4 = _mm_set1_epi64x(static_cast<int64_t>(0xF0F0F0F00F0F0F0Full));
    __m128i t = _mm_xor_si128(x, _mm_slli_epi64(x, 36));
    x = _mm_xor_si128(x, _mm_and_si128(k4, _mm_xor_si128(t, _mm_srli_epi64(x, 36))));
    t = _mm_and_si128(k2, _mm_xor_si128(x, _mm_slli_epi64(x, 18)));
    x = _mm_xor_si128(x, _mm_xor_si128(t, _mm_srli_epi64(t, 18)));
    t = _mm_and_si128(k1, _mm_xor_si128(x, _mm_slli_epi64(x, 9)));
    return _mm_xor_si128(x, _mm_xor_si128(t, _mm_srli_epi64(t, 9)));
}

void CaptureSse2(const uint8_t* src, uint8_t* dst) {
    const __m128i zero = _mm_setzero_si128();
    for (size_t frame = 0; frame < kCaptureFramesPerHalfUnit; ++frame) {
        const __m128i lo0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i hi0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
        const __m128i lo1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
        const __m128i hi1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
        // Each 8 bytes of a half-frame are an 8 x 8 bit matrix (rows: bytes, columns: lines).
        // Flipped, byte 7-i holds line i's bits in sample bit order: sample byte 3 from bytes
        // 0..7, byte 2 from 8..15, byte 1 from 16..23.
        const __m128i a = FlipAntiDiagonal(lo0);
        const __m128i b = FlipAntiDiagonal(lo1);
        const __m128i c = FlipAntiDiagonal(_mm_unpacklo_epi64(hi0, hi1));
        // Byte 2j+h of these is sample byte 3, 2, 1 of channel 2(7-j)+h.
        const __m128i b3 = _mm_unpacklo_epi8(a, b);
        const __m128i b2 = _mm_unpackhi_epi8(a, b);
        const __m128i b1 = _mm_unpacklo_epi8(c, _mm_srli_si128(c, 8));
        const __m128i lowA = _mm_unpacklo_epi8(zero, b1);
        const __m128i lowB = _mm_unpackhi_epi8(zero, b1);
        const __m128i highA = _mm_unpacklo_epi8(b2, b3);
        const __m128i highB = _mm_unpackhi_epi8(b2, b3);
        // Channels 14, 15, 12, 13 / 10, 11, 8, 9 / 6, 7, 4, 5 / 2, 3, 0, 1.
        const __m128i s0 = _mm_unpacklo_epi16(lowA, highA);
        const __m128i s1 = _mm_unpackhi_epi16(lowA, highA);
        const __m128i s2 = _mm_unpacklo_epi16(lowB, highB);
        const __m128i s3 = _mm_unpackhi_epi16(lowB, highB);
        constexpr int kSwapPairs = _MM_SHUFFLE(1, 0, 3, 2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_shuffle_epi32(s3, kSwapPairs));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), _mm_shuffle_epi32(s2, kSwapPairs));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32), _mm_shuffle_epi32(s1, kSwapPairs));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 48), _mm_shuffle_epi32(s0, kSwapPairs));
        src += kCaptureFrameBytes;
        dst += kCaptureChannels * 4;
    }
}

void PlaybackSse2(const uint8_t* src, uint8_t* unit) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    for (size_t frame = 0; frame < kPlaybackUnitFrames; ++frame) {
        const __m128 x0 = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
        const __m128 x1 =
            _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16)));
        // Channels 7, 5, 3, 1 and 6, 4, 2, 0.
        const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(x1, x0, _MM_SHUFFLE(1, 3, 1, 3)));
        const __m128i even = _mm_castps_si128(_mm_shuffle_ps(x1, x0, _MM_SHUFFLE(0, 2, 0, 2)));
        const __m128i to = TransposeBytes4x4(odd);
        const __m128i te = TransposeBytes4x4(even);
        // Matrices of sample bytes 0, 1 (ignored bits 7..0 and bits 15..8) and 2, 3.
        const __m128i m01 = FlipAntiDiagonal(_mm_unpacklo_epi32(to, te));
        const __m128i m32 = _mm_shuffle_epi32(FlipAntiDiagonal(_mm_unpackhi_epi32(to, te)),
                                              _MM_SHUFFLE(1, 0, 3, 2));
        uint8_t* dst = unit + PlaybackFrameOffset(frame);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_and_si128(m32, nibble));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 24),
                         _mm_and_si128(_mm_srli_epi16(m32, 4), nibble));
        const __m128i m1 = _mm_unpackhi_epi64(m01, m01);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm_and_si128(m1, nibble));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 40),
                         _mm_and_si128(_mm_srli_epi16(m1, 4), nibble));
        src += kPlaybackSourceFrameBytes;
    }
}

// --- AVX2 ---

#define Q407_AVX2 __attribute__((target("avx2")))

Q407_AVX2 inline __m256i ReverseBytes256(__m256i x) {
    const __m256i reverse = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                                             15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(x, reverse), _MM_SHUFFLE(1, 0, 3, 2));
}

Q407_AVX2 inline __m256i FlipAntiDiagonal256(__m256i x) {
    const __m256i k1 = _mm256_set1_epi64x(static_cast<int64_t>(0xAA00AA00AA00AA00ull));
    const __m256i k2 = _mm256_set1_epi64x(static_cast<int64_t>(0xCCCC0000CCCC0000ull));
    const __m256i k4 = _mm256_set1_epi64x(static_cast<int64_t>(0xF0F0F0F00F0F0F0Full));
    __m256i t = _mm256_xor_si256(x, _mm256_slli_epi64(x, 36));
    x = _mm256_xor_si256(x, _mm256_and_si256(k4, _mm256_xor_si256(t, _mm256_srli_epi64(x, 36))));
    t = _mm256_and_si256(k2, _mm256_xor_si256(x, _mm256_slli_epi64(x, 18)));
    x = _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_srli_epi64(t, 18)));
    t = _mm256_and_si256(k1, _mm256_xor_si256(x, _mm256_slli_epi64(x, 9)));
    return _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_srli_epi64(t, 9)));
}

Q407_AVX2 void CaptureAvx2(const uint8_t* src, uint8_t* dst) {
    for (size_t frame = 0; frame < kCaptureFramesPerHalfUnit; ++frame) {
        // Fully reversed, byte k of a half-frame lands on mask bit 31 - k; the ignored bytes
        // 24..31 land on bits 7..0 and are cleared.
        __m256i even = ReverseBytes256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)));
        __m256i odd =
            ReverseBytes256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32)));
        for (int line = 7; line >= 0; --line) {
            StoreSample(dst + 8 * line,
                        static_cast<uint32_t>(_mm256_movemask_epi8(even)) & 0xFFFFFF00u);
            StoreSample(dst + 8 * line + 4,
                        static_cast<uint32_t>(_mm256_movemask_epi8(odd)) & 0xFFFFFF00u);
            even = _mm256_add_epi8(even, even);
            odd = _mm256_add_epi8(odd, odd);
        }
        src += kCaptureFrameBytes;
        dst += kCaptureChannels * 4;
    }
}

Q407_AVX2 void PlaybackAvx2(const uint8_t* src, uint8_t* unit) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    // Two frames per pass, one in each 128-bit lane; everything below stays within its lane.
    for (size_t frame = 0; frame < kPlaybackUnitFrames; frame += 2) {
        const __m256i f0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
        const __m256i f1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32));
        const __m256 x0 = _mm256_castsi256_ps(_mm256_permute2x128_si256(f0, f1, 0x20));
        const __m256 x1 = _mm256_castsi256_ps(_mm256_permute2x128_si256(f0, f1, 0x31));
        __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(x1, x0, _MM_SHUFFLE(1, 3, 1, 3)));
        __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(x1, x0, _MM_SHUFFLE(0, 2, 0, 2)));
        odd = _mm256_unpacklo_epi8(odd, _mm256_srli_si256(odd, 8));
        odd = _mm256_unpacklo_epi8(odd, _mm256_srli_si256(odd, 8));
        even = _mm256_unpacklo_epi8(even, _mm256_srli_si256(even, 8));
        even = _mm256_unpacklo_epi8(even, _mm256_srli_si256(even, 8));
        const __m256i m01 = FlipAntiDiagonal256(_mm256_unpacklo_epi32(odd, even));
        const __m256i m32 = _mm256_shuffle_epi32(
            FlipAntiDiagonal256(_mm256_unpackhi_epi32(odd, even)), _MM_SHUFFLE(1, 0, 3, 2));
        const __m256i m1 = _mm256_unpackhi_epi64(m01, m01);
        const __m256i e32 = _mm256_and_si256(m32, nibble);
        const __m256i o32 = _mm256_and_si256(_mm256_srli_epi16(m32, 4), nibble);
        const __m256i e1 = _mm256_and_si256(m1, nibble);
        const __m256i o1 = _mm256_and_si256(_mm256_srli_epi16(m1, 4), nibble);

        uint8_t* d0 = unit + PlaybackFrameOffset(frame);
        uint8_t* d1 = unit + PlaybackFrameOffset(frame + 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d0), _mm256_castsi256_si128(e32));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d0 + 24), _mm256_castsi256_si128(o32));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d0 + 16), _mm256_castsi256_si128(e1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d0 + 40), _mm256_castsi256_si128(o1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d1), _mm256_extracti128_si256(e32, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d1 + 24), _mm256_extracti128_si256(o32, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d1 + 16), _mm256_extracti128_si256(e1, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d1 + 40), _mm256_extracti128_si256(o1, 1));
        src += 2 * kPlaybackSourceFrameBytes;
    }
}

#undef Q407_AVX2

bool Usable(const ConversionPair* pair) {
    return pair != nullptr && pair->source != nullptr && pair->destination != nullptr;
}

}  // namespace

bool Avx2Supported() {
    return ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) != FALSE;
}

void ConvertCaptureHalfUnitSse2(const ConversionPair* pair) {
    if (!Usable(pair)) return;
    CaptureSse2(static_cast<const uint8_t*>(pair->source),
                static_cast<uint8_t*>(pair->destination));
}

void ConvertPlaybackUnitSse2(const ConversionPair* pair) {
    if (!Usable(pair)) return;
    PlaybackSse2(static_cast<const uint8_t*>(pair->source),
                 static_cast<uint8_t*>(pair->destination));
}

void ConvertCaptureHalfUnitAvx2(const ConversionPair* pair) {
    if (!Usable(pair)) return;
    if (!Avx2Supported())
        return CaptureSse2(static_cast<const uint8_t*>(pair->source),
                           static_cast<uint8_t*>(pair->destination));
    KeCheckExtendedStateSaved(XSTATE_MASK_AVX);
    CaptureAvx2(static_cast<const uint8_t*>(pair->source),
                static_cast<uint8_t*>(pair->destination));
}

void ConvertPlaybackUnitAvx2(const ConversionPair* pair) {
    if (!Usable(pair)) return;
    if (!Avx2Supported())
        return PlaybackSse2(static_cast<const uint8_t*>(pair->source),
                            static_cast<uint8_t*>(pair->destination));
    KeCheckExtendedStateSaved(XSTATE_MASK_AVX);
    PlaybackAvx2(static_cast<const uint8_t*>(pair->source),
                 static_cast<uint8_t*>(pair->destination));
}

void ConvertCaptureHalfUnitVectorised(const ConversionPair* pair) {
    ConvertCaptureHalfUnitSse2(pair);
}

void ConvertPlaybackUnitVectorised(const ConversionPair* pair) {
    ConvertPlaybackUnitSse2(pair);
}

#else  // no vector variants on this processor

bool Avx2Supported() {
    return false;
}
void ConvertCaptureHalfUnitSse2(const ConversionPair* pair) {
    ConvertCaptureHalfUnitPortable(pair);
}
void ConvertPlaybackUnitSse2(const ConversionPair* pair) {
    ConvertPlaybackUnitPortable(pair);
}
void ConvertCaptureHalfUnitAvx2(const ConversionPair* pair) {
    ConvertCaptureHalfUnitPortable(pair);
}
void ConvertPlaybackUnitAvx2(const ConversionPair* pair) {
    ConvertPlaybackUnitPortable(pair);
}
void ConvertCaptureHalfUnitVectorised(const ConversionPair* pair) {
    ConvertCaptureHalfUnitPortable(pair);
}
void ConvertPlaybackUnitVectorised(const ConversionPair* pair) {
    ConvertPlaybackUnitPortable(pair);
}

#endif

}  // namespace q407
