#include "tools/path_clients.h"

#include <cstring>

#include "sim/host/machine_clock.h"

namespace q407::tools {
namespace {

constexpr ULONG kAsioBufferPoolTag = POOL_TAG("Zel2");  // the facade's shared ASIO buffers
constexpr ULONG kWdmPoolTag = POOL_TAG("PcNw");         // the WDM driver's stream memory
constexpr size_t kAsioBufferSamples = 1024;             // room for the longest period
constexpr size_t kAsioBlockBytes = 0x30000;             // what the ASIO client asks for
constexpr int kAsio = int(ClientKind::ASIO);
constexpr int kMme = int(ClientKind::MME);

uint32_t Mix32(uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return uint32_t(x);
}

void Feed(ChannelCheck& check, int32_t value, uint64_t frame, int32_t expected0,
          const std::function<int32_t(uint64_t)>& expected) {
    ++check.frames;
    if (check.delay < 0) {
        if (value == 0) return;
        check.delay = int64_t(frame);
        ++check.checked;
        if (value != expected0) ++check.mismatches;
        return;
    }
    ++check.checked;
    if (value != expected(frame - uint64_t(check.delay))) ++check.mismatches;
}

template <class T>
T* PoolAllocate(size_t bytes, ULONG tag) {
    void* p = ExAllocatePoolWithTag(DriverPoolType(), bytes, tag);
    if (p != nullptr) std::memset(p, 0, bytes);
    return static_cast<T*>(p);
}

}  // namespace

int32_t TestSignal(uint64_t frame, int channel) {
    uint32_t v = Mix32(frame * 131 + uint64_t(channel) + 1) & 0xFFFFFF;
    if (v == 0) v = 1;
    return int32_t(v << 8);
}

struct PathClients::Pool {
    int32_t* asioBlock = nullptr;
    RingBuffer* wdmRing = nullptr;
    int32_t* wdmStorage = nullptr;
    int32_t* mmeBuffer = nullptr;
    ~Pool() {
        if (asioBlock != nullptr) ExFreePoolWithTag(asioBlock, kAsioBufferPoolTag);
        if (wdmRing != nullptr) ExFreePoolWithTag(wdmRing, kWdmPoolTag);
        if (wdmStorage != nullptr) ExFreePoolWithTag(wdmStorage, kWdmPoolTag);
        if (mmeBuffer != nullptr) ExFreePoolWithTag(mmeBuffer, kWdmPoolTag);
    }
    int32_t* AsioBuffer(int direction, int channel, int half) const {
        const size_t index = direction == 0 ? size_t(channel * 2 + half)
                                            : size_t(kOutputChannelCount * 2 + channel * 2 + half);
        return asioBlock + index * kAsioBufferSamples;
    }
};

PathClients::PathClients(EngineRig& rig) : rig_(rig), pool_(std::make_unique<Pool>()) {
    table_.context = this;
    table_.NotifyOutputPeriod = OnOutputPeriod;
    table_.NotifyInputPeriod = OnInputPeriod;
    table_.SignalAsioPeriod = OnAsioPeriod;
    table_.NotifyMidiIn = OnMidiIn;
    InstallTable(true);
}

PathClients::~PathClients() {
    StopAsio();
    StopMmeCapture();
    StopWdmPlayback();
    InstallTable(false);
    pool_.reset();
}

// The completions read the table without a lock, so it is exchanged only while no pipe runs; the
// next channel opened starts the streaming again.
void PathClients::InstallTable(bool install) {
    StreamEngine& engine = rig_.Engine();
    (void)engine.EnableStreaming(0);
    if (install) {
        previous_ = engine.m_Facade;
        engine.m_Facade = &table_;
    } else {
        engine.m_Facade = previous_;
    }
}

NTSTATUS PathClients::StartAsio(SignalFunction signal, bool openOutputs, bool openInputs) {
    StreamEngine& engine = rig_.Engine();
    if (pool_->asioBlock != nullptr) return STATUS_INVALID_DEVICE_STATE;
    pool_->asioBlock = PoolAllocate<int32_t>(kAsioBlockBytes, kAsioBufferPoolTag);
    if (pool_->asioBlock == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    {
        std::lock_guard<std::mutex> lock(mu_);
        asioSignal_ = std::move(signal);
        asioOutputPeriods_ = 0;
        for (ChannelCheck& c : asioChecks_) c = {};
    }
    asioPeriods_ = 0;
    for (int d = 0; d < kDirectionCount; ++d)
        for (int c = 0; c < (d == 0 ? kOutputChannelCount : kInputChannelCount); ++c)
            for (int half = 0; half < 2; ++half)
                (void)engine.SetClientBuffer(
                    kAsio, d, c, half, reinterpret_cast<ULONG64>(pool_->AsioBuffer(d, c, half)), 1);
    bool first = true;
    auto open = [&](int direction, int channel) {
        (void)engine.OpenClientChannel(kAsio, direction, channel, 1);
        if (first) {
            // The first channel restarted the pipes; what follows belongs to this run.
            firstOutputTick_ = -1;
            firstInputTick_ = -1;
            asioArmed_ = true;
            first = false;
        }
    };
    if (openOutputs)
        for (int c = 0; c < kOutputChannelCount; ++c) open(0, c);
    if (openInputs)
        for (int c = 0; c < kInputChannelCount; ++c) open(1, c);
    if (engine.IsAsioRunning() == 0) return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

void PathClients::StopAsio() {
    if (pool_ == nullptr || pool_->asioBlock == nullptr) return;
    StreamEngine& engine = rig_.Engine();
    asioArmed_ = false;
    // Output halves already scheduled run now and see the host stopped.
    rig_.RunFor(sim::kTicksPerMillisecond);
    for (int c = 0; c < kOutputChannelCount; ++c) (void)engine.OpenClientChannel(kAsio, 0, c, 0);
    for (int c = 0; c < kInputChannelCount; ++c) (void)engine.OpenClientChannel(kAsio, 1, c, 0);
    for (int d = 0; d < kDirectionCount; ++d)
        for (int c = 0; c < kChannelSlotCount; ++c)
            for (int half = 0; half < 2; ++half)
                (void)engine.SetClientBuffer(kAsio, d, c, half, 0, 0);
    ExFreePoolWithTag(pool_->asioBlock, kAsioBufferPoolTag);
    pool_->asioBlock = nullptr;
}

ChannelCheck PathClients::AsioCheck(int inputChannel) const {
    std::lock_guard<std::mutex> lock(mu_);
    return asioChecks_[inputChannel];
}

void PathClients::RecordAsioInput(int inputChannel, size_t maxFrames) {
    std::lock_guard<std::mutex> lock(mu_);
    asioRecord_[inputChannel].clear();
    asioRecordLimit_[inputChannel] = maxFrames;
}

std::vector<int32_t> PathClients::RecordedAsioInput(int inputChannel) const {
    std::lock_guard<std::mutex> lock(mu_);
    return asioRecord_[inputChannel];
}

NTSTATUS PathClients::StartWdmPlayback(ClientKind kind, int first, int channels,
                                       SignalFunction signal) {
    StreamEngine& engine = rig_.Engine();
    if (pool_->wdmRing != nullptr || channels < 1 || channels > kOutputChannelCount || first < 0 ||
        first + channels > kOutputChannelCount)
        return STATUS_INVALID_PARAMETER;
    int32_t elements = 1;
    while (elements < 4096 * channels) elements <<= 1;
    pool_->wdmRing = PoolAllocate<RingBuffer>(sizeof(RingBuffer), kWdmPoolTag);
    pool_->wdmStorage = PoolAllocate<int32_t>(size_t(elements) * 4, kWdmPoolTag);
    if (pool_->wdmRing == nullptr || pool_->wdmStorage == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    (void)Initialize(pool_->wdmRing, 4, elements, pool_->wdmStorage, channels, 4);
    {
        std::lock_guard<std::mutex> lock(mu_);
        wdmSignal_ = std::move(signal);
        wdmChannels_ = channels;
        wdmFrames_ = 0;
    }
    OnOutputPeriod(this);  // the stream's first fill
    for (int i = 0; i < channels; ++i) {
        (void)engine.SetClientRing(int(kind), 0, first + i, pool_->wdmRing);
        (void)engine.OpenClientChannel(int(kind), 0, first + i, 1);
    }
    wdmKind_ = int(kind);
    wdmFirst_ = first;
    return STATUS_SUCCESS;
}

void PathClients::StopWdmPlayback() {
    if (pool_ == nullptr || pool_->wdmRing == nullptr) return;
    StreamEngine& engine = rig_.Engine();
    for (int i = 0; i < wdmChannels_; ++i) {
        (void)engine.OpenClientChannel(wdmKind_, 0, wdmFirst_ + i, 0);
        (void)engine.SetClientRing(wdmKind_, 0, wdmFirst_ + i, nullptr);
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        wdmChannels_ = 0;
    }
    ExFreePoolWithTag(pool_->wdmRing, kWdmPoolTag);
    ExFreePoolWithTag(pool_->wdmStorage, kWdmPoolTag);
    pool_->wdmRing = nullptr;
    pool_->wdmStorage = nullptr;
}

NTSTATUS PathClients::StartMmeCapture(int first, int channels, std::function<int(int)> source) {
    StreamEngine& engine = rig_.Engine();
    if (pool_->mmeBuffer != nullptr || channels < 1 || first < 0 ||
        first + channels > kInputChannelCount)
        return STATUS_INVALID_PARAMETER;
    pool_->mmeBuffer =
        PoolAllocate<int32_t>(kAsioBufferSamples * size_t(channels) * 4, kWdmPoolTag);
    if (pool_->mmeBuffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    {
        std::lock_guard<std::mutex> lock(mu_);
        mmeFirst_ = first;
        mmeChannels_ = channels;
        mmeFrames_ = 0;
        mmeSource_ = std::move(source);
        for (ChannelCheck& c : mmeChecks_) c = {};
    }
    for (int i = 0; i < channels; ++i) {
        (void)engine.SetClientBuffer(kMme, 1, first + i, 0,
                                     reinterpret_cast<ULONG64>(pool_->mmeBuffer + i),
                                     ULONG(channels));
        (void)engine.OpenClientChannel(kMme, 1, first + i, 1);
    }
    return STATUS_SUCCESS;
}

void PathClients::StopMmeCapture() {
    if (pool_ == nullptr || pool_->mmeBuffer == nullptr) return;
    StreamEngine& engine = rig_.Engine();
    int first = 0, channels = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        first = mmeFirst_;
        channels = mmeChannels_;
        mmeChannels_ = 0;
    }
    for (int i = 0; i < channels; ++i) {
        (void)engine.OpenClientChannel(kMme, 1, first + i, 0);
        (void)engine.SetClientBuffer(kMme, 1, first + i, 0, 0, 0);
    }
    ExFreePoolWithTag(pool_->mmeBuffer, kWdmPoolTag);
    pool_->mmeBuffer = nullptr;
}

ChannelCheck PathClients::MmeCheck(int index) const {
    std::lock_guard<std::mutex> lock(mu_);
    return mmeChecks_[index];
}

void PathClients::RecordMmeInput(int index, size_t maxFrames) {
    std::lock_guard<std::mutex> lock(mu_);
    mmeRecord_[index].clear();
    mmeRecordLimit_[index] = maxFrames;
}

std::vector<int32_t> PathClients::RecordedMmeInput(int index) const {
    std::lock_guard<std::mutex> lock(mu_);
    return mmeRecord_[index];
}

uint64_t PathClients::RecordedMmeInputFrame(int index) const {
    std::lock_guard<std::mutex> lock(mu_);
    return mmeRecordFrame_[index];
}

void PathClients::OnOutputPeriod(PVOID context) {
    auto* self = static_cast<PathClients*>(context);
    if (self->asioArmed_ && self->firstOutputTick_ < 0)
        self->firstOutputTick_ = sim::MachineClock::Instance().Now();
    {
        // The WDM stream refills its ring after every output period, as its miniport would.
        std::lock_guard<std::mutex> lock(self->mu_);
        RingBuffer* ring = self->pool_ != nullptr ? self->pool_->wdmRing : nullptr;
        if (ring != nullptr && self->wdmChannels_ > 0) {
            const StreamEngine& engine = self->rig_.Engine();
            const int32_t target =
                int32_t(4 * engine.m_FramesPerPlaybackTransfer + 2 * engine.PeriodFrames()) *
                self->wdmChannels_;
            int32_t frame[kOutputChannelCount];
            while (GetReadAvailable(ring) < target &&
                   GetWriteAvailable(ring) >= self->wdmChannels_) {
                for (int c = 0; c < self->wdmChannels_; ++c)
                    frame[c] = self->wdmSignal_(self->wdmFrames_, c);
                (void)Write(ring, frame, self->wdmChannels_);
                ++self->wdmFrames_;
            }
        }
    }
    const EngineNotifications* previous = self->previous_;
    if (previous != nullptr && previous->NotifyOutputPeriod != nullptr)
        previous->NotifyOutputPeriod(previous->context);
}

void PathClients::OnInputPeriod(PVOID context) {
    auto* self = static_cast<PathClients*>(context);
    {
        std::lock_guard<std::mutex> lock(self->mu_);
        if (self->pool_ != nullptr && self->pool_->mmeBuffer != nullptr && self->mmeChannels_ > 0) {
            const ULONG frames = self->rig_.Engine().PeriodFrames();
            for (int i = 0; i < self->mmeChannels_; ++i) {
                const int source = self->mmeSource_ ? self->mmeSource_(i) : i;
                auto expected = [&](uint64_t f) { return self->wdmSignal_(f, source); };
                for (ULONG f = 0; f < frames; ++f) {
                    const int32_t value =
                        self->pool_->mmeBuffer[size_t(f) * size_t(self->mmeChannels_) + size_t(i)];
                    if (self->wdmSignal_)
                        Feed(self->mmeChecks_[i], value, self->mmeFrames_ + f,
                             self->wdmSignal_(0, source), expected);
                    if (self->mmeRecord_[i].empty() && self->mmeRecordLimit_[i] != 0)
                        self->mmeRecordFrame_[i] = self->asioPeriods_.load() * frames + f;
                    if (self->mmeRecord_[i].size() < self->mmeRecordLimit_[i])
                        self->mmeRecord_[i].push_back(value);
                }
            }
            self->mmeFrames_ += frames;
        }
    }
    const EngineNotifications* previous = self->previous_;
    if (previous != nullptr && previous->NotifyInputPeriod != nullptr)
        previous->NotifyInputPeriod(previous->context);
}

LONG PathClients::OnAsioPeriod(PVOID context) {
    auto* self = static_cast<PathClients*>(context);
    if (self->asioArmed_ && self->pool_ != nullptr && self->pool_->asioBlock != nullptr) {
        StreamEngine& engine = self->rig_.Engine();
        const uint64_t period = self->asioPeriods_.fetch_add(1);
        if (period == 0) self->firstInputTick_ = sim::MachineClock::Instance().Now();
        const ULONG frames = engine.PeriodFrames();
        const int half =
            int(__atomic_load_n(&engine.m_Status->lastInputHalf, __ATOMIC_ACQUIRE) & 1);
        {
            std::lock_guard<std::mutex> lock(self->mu_);
            for (int c = 0; c < kInputChannelCount; ++c) {
                if (engine.IsClientChannelOpen(kAsio, 1, c) == 0) continue;
                const int source = c % kOutputChannelCount;
                const int32_t* in = self->pool_->AsioBuffer(1, c, half);
                auto expected = [&](uint64_t f) { return self->asioSignal_(f, source); };
                for (ULONG f = 0; f < frames; ++f) {
                    Feed(self->asioChecks_[c], in[f], period * frames + f,
                         self->asioSignal_(0, source), expected);
                    if (self->asioRecord_[c].size() < self->asioRecordLimit_[c])
                        self->asioRecord_[c].push_back(in[f]);
                }
            }
        }
        // The host's buffer switch: its output half for this period, then outputReady.
        // The output half carries the index of the input half just read, as an ASIO driver
        // hands the host one index for both.
        sim::MachineClock::Instance().Schedule(
            sim::MachineClock::Instance().Now(),
            [self, period, half] { self->WriteOutputHalf(period, half); });
    }
    const EngineNotifications* previous = self->previous_;
    if (previous != nullptr && previous->SignalAsioPeriod != nullptr)
        return previous->SignalAsioPeriod(previous->context);
    return 1;
}

void PathClients::WriteOutputHalf(uint64_t period, int half) {
    if (!asioArmed_ || pool_ == nullptr || pool_->asioBlock == nullptr) return;
    StreamEngine& engine = rig_.Engine();
    const ULONG frames = engine.PeriodFrames();
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (int c = 0; c < kOutputChannelCount; ++c) {
            int32_t* out = pool_->AsioBuffer(0, c, half);
            for (ULONG f = 0; f < frames; ++f) out[f] = asioSignal_(period * frames + f, c);
        }
        ++asioOutputPeriods_;
    }
    engine.WriteAsioOutput(ULONG(half), 1);
}

void PathClients::OnMidiIn(PVOID context) {
    auto* self = static_cast<PathClients*>(context);
    const EngineNotifications* previous = self->previous_;
    if (previous != nullptr && previous->NotifyMidiIn != nullptr)
        previous->NotifyMidiIn(previous->context);
}

}  // namespace q407::tools
