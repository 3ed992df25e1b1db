// Windows across client processes: a linked client's window is found and posted to by another
// client, the other way round too, windows go with their connection, and the registry refuses
// what a client may not do.
#include "sim/service/window_registry.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/bench_shell.h"
#include "platform/user/remote/client_link.h"
#include "sim/host/machine.h"
#include "tests/sim/service/raw_client.h"

namespace q407::service::testing {
namespace {

using remote::ClientLink;
using remote::Message;
using remote::MessageKind;
using remote::Op;
using remote::WireReader;
using remote::WireWriter;

constexpr uint32_t kInvalidWindowHandle = 1400;
constexpr uint32_t kInvalidParameter = 87;

struct Posted {
    win32::UINT message;
    win32::WPARAM wParam;
    win32::LPARAM lParam;
};

class WindowRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char directory[] = "/tmp/q407-windows-XXXXXX";
        ASSERT_NE(::mkdtemp(directory), nullptr);
        directory_ = directory;
        server_ = std::make_unique<MachineServer>(MachineServerOptions{SocketPath()});
        AddWindowHandlers(server_->Handlers());
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
        ASSERT_TRUE(ClientLink::Connect(SocketPath(), L"Q407pan.exe", &error)) << error;
    }
    void TearDown() override {
        ClientLink::Disconnect();
        server_->Stop();
        std::filesystem::remove_all(directory_);
    }
    std::string SocketPath() const { return directory_ + "/machine.sock"; }

    // The linked client's window, recording what is posted to it.
    win32::HWND AddRecordingWindow(const std::wstring& className) {
        return win32::bench::AddTopLevelWindow(
            className, [this](win32::UINT message, win32::WPARAM wParam, win32::LPARAM lParam) {
                std::lock_guard lock(mutex_);
                posted_.push_back({message, wParam, lParam});
                changed_.notify_all();
            });
    }
    bool WaitPosted(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5),
                                 [&] { return posted_.size() >= count; });
    }

    static std::vector<uint8_t> Ask(RawClient& client, Op op, const WireWriter& request) {
        std::vector<uint8_t> reply;
        EXPECT_TRUE(client.Call(op, request, &reply));
        return reply;
    }
    static uint32_t ErrorOf(const std::vector<uint8_t>& reply) {
        WireReader r(reply.data(), reply.size());
        return r.U32();
    }
    static uint64_t WindowOf(const std::vector<uint8_t>& reply) {
        WireReader r(reply.data(), reply.size());
        const uint32_t error = r.U32();
        const uint64_t window = r.U64();
        return error == 0 && r.AtEnd() ? window : ~uint64_t(0);
    }
    static uint64_t Find(RawClient& client, const std::wstring& className) {
        WireWriter w;
        w.WString(className);
        return WindowOf(Ask(client, Op::FindWindow, w));
    }
    static uint32_t Post(RawClient& client, uint64_t window, uint32_t message, uint64_t wParam,
                         int64_t lParam) {
        WireWriter w;
        w.U64(window).U32(message).U64(wParam).I64(lParam);
        return ErrorOf(Ask(client, Op::PostMessage, w));
    }

    sim::Machine machine_{sim::ClockMode::Real};
    std::string directory_;
    std::unique_ptr<MachineServer> server_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Posted> posted_;
};

}  // namespace

TEST_F(WindowRegistryTest, AnotherClientFindsTheLinkedClientsWindowAndPostsToIt) {
    win32::HWND window = AddRecordingWindow(L"Q407 Class");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(win32::FindWindowW(L"Q407 Class", nullptr), window);
    EXPECT_EQ(win32::FindWindowW(L"Other Class", nullptr), nullptr);

    RawClient host(SocketPath());
    ASSERT_NE(host.Hello(L"asio host"), 0u);
    const uint64_t found = Find(host, L"Q407 Class");
    EXPECT_EQ(found, reinterpret_cast<uintptr_t>(window));
    EXPECT_EQ(Post(host, found, win32::WM_SHOWWINDOW, 9, -5), 0u);
    ASSERT_TRUE(WaitPosted(1));
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(posted_[0].message, win32::WM_SHOWWINDOW);
        EXPECT_EQ(posted_[0].wParam, 9u);
        EXPECT_EQ(posted_[0].lParam, -5);
    }
    WireWriter foreground;
    foreground.U64(found);
    EXPECT_EQ(ErrorOf(Ask(host, Op::SetForegroundWindow, foreground)), 0u);

    // Only the owner removes it; afterwards it is found no more and takes no messages.
    WireWriter unregister;
    unregister.U64(found);
    EXPECT_EQ(ErrorOf(Ask(host, Op::UnregisterWindow, unregister)), kInvalidWindowHandle);
    win32::bench::RemoveTopLevelWindow(window);
    EXPECT_EQ(Find(host, L"Q407 Class"), 0u);
    EXPECT_EQ(Post(host, found, win32::WM_SHOWWINDOW, 9, 0), kInvalidWindowHandle);
    EXPECT_EQ(ErrorOf(Ask(host, Op::SetForegroundWindow, foreground)), kInvalidWindowHandle);
}

TEST_F(WindowRegistryTest, TheLinkedClientPostsToAnotherClientsWindowWhichGoesWithItsConnection) {
    RawClient panel(SocketPath());
    ASSERT_NE(panel.Hello(L"panel"), 0u);
    WireWriter w;
    w.WString(L"Q407 Class");
    const uint64_t window = WindowOf(Ask(panel, Op::RegisterWindow, w));
    ASSERT_NE(window, 0u);
    ASSERT_NE(window, ~uint64_t(0));

    win32::HWND found = win32::FindWindowW(L"Q407 Class", nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(found), window);
    EXPECT_TRUE(win32::PostMessageW(found, 0x0401, 7, 8));
    EXPECT_TRUE(win32::SetForegroundWindow(found));
    // The owner receives the message as a notice.
    pollfd p{panel.Socket(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    Message notice;
    ASSERT_TRUE(remote::ReceiveMessage(panel.Socket(), &notice));
    EXPECT_EQ(notice.header.kind, static_cast<uint16_t>(MessageKind::Notice));
    EXPECT_EQ(notice.header.op, static_cast<uint16_t>(Op::PostedMessage));
    WireReader r(notice.payload.data(), notice.payload.size());
    EXPECT_EQ(r.U64(), window);
    EXPECT_EQ(r.U32(), 0x0401u);
    EXPECT_EQ(r.U64(), 7u);
    EXPECT_EQ(r.I64(), 8);
    EXPECT_TRUE(r.AtEnd());

    panel.Disconnect();
    for (int i = 0; i < 500 && server_->ConnectionCount() > 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server_->ConnectionCount(), 1u);
    EXPECT_EQ(win32::FindWindowW(L"Q407 Class", nullptr), nullptr);
    win32::SetLastError(0);
    EXPECT_FALSE(win32::PostMessageW(found, 0x0401, 7, 8));
    EXPECT_EQ(win32::GetLastError(), kInvalidWindowHandle);
    EXPECT_FALSE(win32::SetForegroundWindow(found));
}

TEST_F(WindowRegistryTest, MalformedAndExcessiveRegistrationsAreRefused) {
    RawClient client(SocketPath());
    ASSERT_NE(client.Hello(L"greedy"), 0u);
    WireWriter empty;
    empty.WString(L"");
    EXPECT_EQ(ErrorOf(Ask(client, Op::RegisterWindow, empty)), kInvalidParameter);
    WireWriter trailing;
    trailing.WString(L"A").U32(1);
    EXPECT_EQ(ErrorOf(Ask(client, Op::RegisterWindow, trailing)), kInvalidParameter);
    WireWriter longName;
    longName.WString(std::wstring(kMaxWindowClassUnits + 1, L'x'));
    EXPECT_EQ(ErrorOf(Ask(client, Op::RegisterWindow, longName)), kInvalidParameter);
    WireWriter shortPost;
    shortPost.U64(0x20010).U32(1);
    EXPECT_EQ(ErrorOf(Ask(client, Op::PostMessage, shortPost)), kInvalidParameter);

    std::vector<uint64_t> windows;
    for (size_t i = 0; i < kMaxWindowsPerConnection; ++i) {
        WireWriter w;
        w.WString(L"C" + std::to_wstring(i));
        windows.push_back(WindowOf(Ask(client, Op::RegisterWindow, w)));
        ASSERT_NE(windows.back(), ~uint64_t(0));
    }
    WireWriter one;
    one.WString(L"one too many");
    EXPECT_NE(ErrorOf(Ask(client, Op::RegisterWindow, one)), 0u);
    // Removing one makes room again; the handles differ from every earlier one.
    WireWriter unregister;
    unregister.U64(windows[3]);
    EXPECT_EQ(ErrorOf(Ask(client, Op::UnregisterWindow, unregister)), 0u);
    const uint64_t again = WindowOf(Ask(client, Op::RegisterWindow, one));
    ASSERT_NE(again, ~uint64_t(0));
    EXPECT_EQ(std::count(windows.begin(), windows.end(), again), 0);
}

TEST_F(WindowRegistryTest, ALinkedClientStartsThePanelItselfWhenNoLauncherIsSet) {
    const std::string marker = directory_ + "/panel-started";
    const char* saved = std::getenv("Q407_PANEL_COMMAND");
    const std::string previous = saved != nullptr ? saved : "";
    setenv("Q407_PANEL_COMMAND", ("touch '" + marker + "'").c_str(), 1);
    const auto started = reinterpret_cast<uintptr_t>(
        win32::ShellExecuteW(nullptr, nullptr, L"Q407pan.exe", nullptr, nullptr, 1));
    const auto unknown = reinterpret_cast<uintptr_t>(
        win32::ShellExecuteW(nullptr, nullptr, L"notepad.exe", nullptr, nullptr, 1));
    if (saved != nullptr)
        setenv("Q407_PANEL_COMMAND", previous.c_str(), 1);
    else
        unsetenv("Q407_PANEL_COMMAND");
    EXPECT_GT(started, 32u);
    EXPECT_LE(unknown, 32u);
    for (int i = 0; i < 500 && !std::filesystem::exists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(std::filesystem::exists(marker));
}

}  // namespace q407::service::testing
