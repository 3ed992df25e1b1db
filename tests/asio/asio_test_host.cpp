#include "asio_test_host.h"

#include <string>

#include "asio/driver_identity.h"
#include "sim/host/pool.h"
#include "usbdriver/control/client_attachment.h"

namespace q407::testing {
namespace {

uint32_t Mix32(uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return static_cast<uint32_t>(x);
}

}  // namespace

int32_t HostSignal(uint64_t frame, int channel) {
    uint32_t v = Mix32(frame * 977 + uint64_t(channel) * 7919 + 1) & 0xFFFFFF;
    if (v == 0) v = 1;
    return static_cast<int32_t>(v << 8);
}

TestHost* TestHost::current_ = nullptr;

TestHost::TestHost() : process_(std::make_unique<sim::Process>("asio host")) {
    current_ = this;
    callbacks_.bufferSwitch = OnBufferSwitch;
    callbacks_.sampleRateDidChange = OnSampleRateDidChange;
    callbacks_.asioMessage = OnAsioMessage;
    callbacks_.bufferSwitchTimeInfo = OnBufferSwitchTimeInfo;
}

TestHost::~TestHost() {
    if (driver_ != nullptr && !process_->Ended()) Close();
    module_.reset();
    if (!process_->Ended()) process_->End();
    current_ = nullptr;
}

void TestHost::Run(const std::function<void()>& body) {
    sim::Process::Scope scope(*process_);
    body();
}

bool TestHost::CreateDriver() {
    module_ = std::make_unique<tools::AsioModule>(tools::DefaultAsioModulePath());
    if (!module_->Loaded()) {
        ADD_FAILURE() << module_->Error();
        return false;
    }
    Run([&] { driver_ = module_->CreateDriver(asio::kDriverClassId); });
    return driver_ != nullptr;
}

ASIOError TestHost::OpenAndCreate(std::vector<ASIOBufferInfo> infos, bool timeInfo,
                                  double rate) {
    timeInfo_ = timeInfo;
    ASIOError result = ASE_OK;
    Run([&] {
        if (driver_->init(nullptr) != ASIOTrue) {
            result = ASE_NotPresent;
            return;
        }
        if (rate != 0.0 && (result = driver_->setSampleRate(rate)) != ASE_OK) return;
        long inputs = 0;
        long outputs = 0;
        long minimum = 0;
        long maximum = 0;
        long granularity = 0;
        driver_->getChannels(&inputs, &outputs);
        driver_->getBufferSize(&minimum, &maximum, &bufferFrames_, &granularity);
        driver_->getLatencies(&inputLatency_, &outputLatency_);
        units_ = outputs / 8;
        if (infos.empty()) {
            for (long c = 0; c < inputs; ++c) infos.push_back({ASIOTrue, c, {nullptr, nullptr}});
            for (long c = 0; c < outputs; ++c) infos.push_back({ASIOFalse, c, {nullptr, nullptr}});
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            infos_ = infos;
            checks_.clear();
            for (const ASIOBufferInfo& info : infos_) {
                if (info.isInput == ASIOFalse) continue;
                LoopCheck check;
                const int c = static_cast<int>(info.channelNum);
                check.source = (c / 16) * 8 + (c % 16) % 8;
                checks_.push_back(check);
            }
        }
        result = driver_->createBuffers(infos_.data(), static_cast<long>(infos_.size()),
                                        bufferFrames_, &callbacks_);
    });
    return result;
}

void TestHost::Close() {
    if (driver_ == nullptr) return;
    Run([&] {
        driver_->stop();
        driver_->disposeBuffers();
        driver_->Release();
    });
    driver_ = nullptr;
}

void TestHost::EndProcess() {
    process_->End();
}

std::vector<long> TestHost::Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

uint64_t TestHost::Switches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return switches_;
}

std::vector<long> TestHost::Halves() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return halves_;
}

std::vector<LoopCheck> TestHost::Checks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return checks_;
}

ASIOTime TestHost::LastTimeInfo() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastTime_;
}

void TestHost::Switch(long index) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        halves_.push_back(index);
        const uint64_t base = switches_ * static_cast<uint64_t>(bufferFrames_);
        size_t check = 0;
        for (const ASIOBufferInfo& info : infos_) {
            auto* samples = static_cast<int32_t*>(info.buffers[index & 1]);
            const int channel = static_cast<int>(info.channelNum);
            if (info.isInput == ASIOFalse) {
                for (long f = 0; f < bufferFrames_; ++f)
                    samples[f] = HostSignal(base + static_cast<uint64_t>(f), channel);
                continue;
            }
            LoopCheck& c = checks_[check++];
            for (long f = 0; f < bufferFrames_; ++f) {
                const int64_t frame = static_cast<int64_t>(base) + f;
                if (c.delay < 0) {
                    if (samples[f] == 0) continue;
                    if (samples[f] == HostSignal(0, c.source)) {
                        c.delay = frame;
                    } else {
                        ++c.mismatches;
                        continue;
                    }
                }
                ++c.checked;
                if (samples[f] != HostSignal(static_cast<uint64_t>(frame - c.delay), c.source))
                    ++c.mismatches;
            }
        }
        ++switches_;
    }
    driver_->outputReady();
}

void TestHost::OnBufferSwitch(long index, ASIOBool direct) {
    (void)direct;
    current_->Switch(index);
}

ASIOTime* TestHost::OnBufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool direct) {
    (void)direct;
    {
        std::lock_guard<std::mutex> lock(current_->mutex_);
        current_->lastTime_ = *time;
    }
    current_->Switch(index);
    return nullptr;
}

void TestHost::OnSampleRateDidChange(ASIOSampleRate rate) {
    (void)rate;
    std::lock_guard<std::mutex> lock(current_->mutex_);
    current_->messages_.push_back(-1);  // recorded beside the messages, as -1
}

long TestHost::OnAsioMessage(long selector, long value, void* message, double* opt) {
    (void)message;
    (void)opt;
    TestHost* host = current_;
    {
        std::lock_guard<std::mutex> lock(host->mutex_);
        host->messages_.push_back(selector);
    }
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioResetRequest || value == kAsioEngineVersion ||
                           value == kAsioSupportsTimeInfo
                       ? 1
                       : 0;
        case kAsioEngineVersion:
            return 2;
        case kAsioSupportsTimeInfo:
            return host->timeInfo_ ? 1 : 0;
        case kAsioResetRequest:
            if (host->closeOnReset_ && host->driver_ != nullptr) {
                IASIO* driver = host->driver_;
                host->driver_ = nullptr;
                driver->stop();
                driver->disposeBuffers();
                driver->Release();
            }
            return 1;
        default:
            return 0;
    }
}

void AsioFixture::StartRig(int units, const MixerSettings& settings) {
    tools::DeviceRigOptions options;
    options.units = units;
    rig_ = std::make_unique<tools::DeviceRig>(options);
    std::string error;
    ASSERT_TRUE(tools::StartDeviceWithSettings(*rig_, settings, &error)) << error;
    for (int unit = 0; unit < units; ++unit) rig_->Device(unit).LoopbackAllInputs();
}

// Every test ends with the devices removed and nothing of the control side left in pool.
void AsioFixture::TearDown() {
    if (rig_ == nullptr) return;
    for (int unit = 0; unit < rig_->Units(); ++unit) {
        rig_->BeginRemove(unit);
        rig_->FinishRemove(unit);
    }
    EXPECT_EQ(SharedBufferCount(), 0);
    EXPECT_EQ(sim::Pool::LeakReport({POOL_TAG("Zel9"), POOL_TAG("Zel6"), POOL_TAG("Zel5"),
                                     POOL_TAG("Zel2"), POOL_TAG("None"), POOL_TAG("Mdl ")}),
              "");
    rig_.reset();
}

}  // namespace q407::testing
