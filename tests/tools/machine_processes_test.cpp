// The machine and its clients as separate Linux processes: q407 machine on a socket of the
// test's own, client programs linked to it, q407 device acting on its units. Waits are generous
// (sanitizer builds on a loaded machine); nothing here measures time.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/child_process.h"

namespace q407::testing {
namespace {

constexpr double kPatience = 60;  // seconds for anything to happen

// Under ThreadSanitizer the machine's real-time dispatcher runs several times slower; on a host
// busy with other work it falls behind the device's slots for good, and a driver's synchronous
// request waits behind them. The tests that stream through the ASIO path need the clock kept.
#if defined(__SANITIZE_THREAD__)
constexpr bool kClockKeptUp = false;
#else
constexpr bool kClockKeptUp = true;
#endif

struct Client {
    ChildProcess process;
    nlohmann::json ready;
};

class MachineProcesses : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/q407-machine-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        socket_ = dir_ + "/machine.sock";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void StartMachine() {
        ASSERT_TRUE(machine_.Start({Q407_PROGRAM, "machine", "--socket", socket_, "--settings",
                                    dir_ + "/registry.txt", "--log", dir_ + "/trace.log", "--json"},
                                   dir_ + "/machine.err"));
        std::string line;
        ASSERT_TRUE(machine_.ReadLine(&line, kPatience)) << Text(dir_ + "/machine.err");
        const nlohmann::json started = nlohmann::json::parse(line, nullptr, false);
        ASSERT_EQ(started.value("event", ""), "started") << line;
        EXPECT_EQ(started.value("socket", ""), socket_);
        EXPECT_EQ(started.value("pid", 0), machine_.Pid());
    }

    // Stops the machine with the signal; its exit status, and its report in *stopped.
    int StopMachine(int signal, nlohmann::json* stopped) {
        machine_.Signal(signal);
        std::string line;
        if (machine_.ReadLine(&line, kPatience))
            *stopped = nlohmann::json::parse(line, nullptr, false);
        return machine_.Wait(kPatience);
    }

    void StartClient(Client* client, const std::string& mode, double seconds) {
        ASSERT_TRUE(client->process.Start(
            {Q407_REMOTE_CLIENT, socket_, mode, std::to_string(seconds)}, dir_ + "/client.err"));
        std::string line;
        ASSERT_TRUE(client->process.WaitForLine("ready ", &line, kPatience))
            << mode << " client did not attach; " << Text(dir_ + "/client.err");
        client->ready = nlohmann::json::parse(line.substr(6), nullptr, false);
        ASSERT_TRUE(client->ready.is_object()) << line;
    }

    // q407 device --json ARGS: its exit status, the machine's answer in *answer.
    int Device(const std::vector<std::string>& args, nlohmann::json* answer = nullptr) {
        std::vector<std::string> argv = {Q407_PROGRAM, "device", "--machine", socket_, "--json"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string output;
        const int status = RunProgram(argv, &output, kPatience);
        if (answer != nullptr) *answer = nlohmann::json::parse(output, nullptr, false);
        return status;
    }

    // Asks for the list until the clients count is `clients`; false when it never is.
    bool WaitForClients(int clients) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end) {
            nlohmann::json list;
            if (Device({"list"}, &list) == 0 && list.value("clients", -1) == clients) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    static std::string Text(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir_;
    std::string socket_;
    ChildProcess machine_;
};

// A second of a 16-bit stereo tone as a WAV file.
void WriteTone(const std::string& path) {
    const uint32_t frames = 48000;
    const uint32_t dataBytes = frames * 4;
    std::ofstream out(path, std::ios::binary);
    const auto u32 = [&out](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&out](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(2);
    u32(48000);
    u32(48000 * 4);
    u16(4);
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
    for (uint32_t f = 0; f < frames; ++f) {
        const auto sample = static_cast<uint16_t>((f % 96) * 300);
        u16(sample);
        u16(static_cast<uint16_t>(~sample));
    }
}

// The whole output of a child that ends by itself, and its exit status.
int Finish(ChildProcess& child, std::string* output) {
    std::string line;
    output->clear();
    while (child.ReadLine(&line, kPatience)) *output += line + "\n";
    return child.Wait(kPatience);
}

TEST_F(MachineProcesses, PanelsAsioHostAndWdmApplicationShareOneDeviceUntilTheMachineStops) {
    if (!kClockKeptUp) GTEST_SKIP() << "the real-time machine cannot keep its clock here";
    StartMachine();
    Client panel, secondPanel;
    StartClient(&panel, "panel", 120);
    StartClient(&secondPanel, "panel", 120);

    // One record, each process's own mapping of it.
    EXPECT_NE(panel.ready["address"], 0);
    EXPECT_NE(secondPanel.ready["address"], 0);
    EXPECT_EQ(panel.ready["sampleRate"], 48000);
    for (const char* field : {"sampleRate", "latency", "usbBuffers"})
        EXPECT_EQ(panel.ready[field], secondPanel.ready[field]) << field;
    EXPECT_NE(panel.ready["process"], secondPanel.ready["process"]);

    // The ASIO host and an application through the audio stack, at once, beside the panels.
    WriteTone(dir_ + "/tone.wav");
    ChildProcess session, play;
    ASSERT_TRUE(
        session.Start({Q407_PROGRAM, "session", "--machine", socket_, "--seconds", "1", "--json"},
                      dir_ + "/session.err"));
    ASSERT_TRUE(
        play.Start({Q407_PROGRAM, "play", "--machine", socket_, dir_ + "/tone.wav", "--json"},
                   dir_ + "/play.err"));
    std::string output;
    ASSERT_EQ(Finish(session, &output), 0) << Text(dir_ + "/session.err");
    const nlohmann::json sessionReport = nlohmann::json::parse(output, nullptr, false);
    EXPECT_NE(sessionReport.value("machine", "").find(socket_), std::string::npos) << output;
    EXPECT_GT(sessionReport.value("buffer_switches", 0), 0) << output;
    ASSERT_EQ(Finish(play, &output), 0) << Text(dir_ + "/play.err");
    const nlohmann::json playReport = nlohmann::json::parse(output, nullptr, false);
    EXPECT_NE(playReport.value("machine", "").find(socket_), std::string::npos) << output;
    ASSERT_TRUE(WaitForClients(2));

    // Stopped under the panels: they fail instead of hanging, the machine still ends clean.
    nlohmann::json stopped;
    EXPECT_EQ(StopMachine(SIGINT, &stopped), 0) << Text(dir_ + "/machine.err");
    EXPECT_EQ(stopped.value("event", ""), "stopped");
    EXPECT_TRUE(stopped.value("clean", false)) << stopped.dump();
    std::string line;
    for (Client* client : {&panel, &secondPanel}) {
        EXPECT_TRUE(client->process.WaitForLine("gone", &line, kPatience));
        EXPECT_EQ(client->process.Wait(kPatience), 3);
    }
    EXPECT_FALSE(std::filesystem::exists(socket_));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/registry.txt"));
}

TEST_F(MachineProcesses, ClientKilledMidStreamLeavesTheMachineClean) {
    if (!kClockKeptUp) GTEST_SKIP() << "the real-time machine cannot keep its clock here";
    StartMachine();
    Client asio, panel;
    StartClient(&panel, "panel", 120);
    nlohmann::json before;
    ASSERT_EQ(Device({"list"}, &before), 0);
    StartClient(&asio, "asio", 120);
    std::string line;
    ASSERT_TRUE(asio.process.WaitForLine("streaming", &line, kPatience));
    // The panel's and the ASIO client's mappings hold the one record.
    for (const char* field : {"sampleRate", "latency", "usbBuffers"})
        EXPECT_EQ(panel.ready[field], asio.ready[field]) << field;
    nlohmann::json during;
    ASSERT_EQ(Device({"list"}, &during), 0);
    EXPECT_GT(during["driverPool"]["bytes"], before["driverPool"]["bytes"]);

    asio.process.Signal(SIGKILL);
    EXPECT_EQ(asio.process.Wait(kPatience), 128 + SIGKILL);
    ASSERT_TRUE(WaitForClients(1)) << "the killed client's process did not end on the machine";
    nlohmann::json after;
    ASSERT_EQ(Device({"list"}, &after), 0);
    EXPECT_EQ(after["driverPool"], before["driverPool"]) << "the killed client's attachment stayed";

    // Its attachment went with it: a new ASIO client gets the device and streams to the end,
    // while the panel holds on.
    Client next;
    StartClient(&next, "asio", 1);
    EXPECT_TRUE(next.process.WaitForLine("done", &line, kPatience));
    EXPECT_EQ(next.process.Wait(kPatience), 0);
    EXPECT_EQ(Device({"list"}), 0);
    panel.process.Signal(SIGKILL);
    EXPECT_EQ(panel.process.Wait(kPatience), 128 + SIGKILL);
    ASSERT_TRUE(WaitForClients(0));

    nlohmann::json stopped;
    EXPECT_EQ(StopMachine(SIGTERM, &stopped), 0) << Text(dir_ + "/machine.err");
    EXPECT_TRUE(stopped.value("clean", false)) << stopped.dump();
}

TEST_F(MachineProcesses, UnplugAndReplugWithAClientConnected) {
    StartMachine();
    Client panel;
    StartClient(&panel, "panel", 120);

    nlohmann::json answer;
    ASSERT_EQ(Device({"unplug", "0"}, &answer), 0) << answer.dump();
    std::string line;
    EXPECT_TRUE(panel.process.WaitForLine("removed", &line, kPatience));
    EXPECT_EQ(panel.process.Wait(kPatience), 4);

    // Once the panel let go, the removal completes and the unit comes back.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = -1;
    while (std::chrono::steady_clock::now() < end && (status = Device({"plug", "0"}, &answer)) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(status, 0) << answer.dump();
    ASSERT_EQ(Device({"list"}, &answer), 0);
    EXPECT_EQ(answer["units"][0]["state"], "plugged");

    Client again;
    StartClient(&again, "panel", 0.2);
    EXPECT_EQ(again.ready["sampleRate"], 48000);
    EXPECT_EQ(again.process.Wait(kPatience), 0);

    nlohmann::json stopped;
    EXPECT_EQ(StopMachine(SIGINT, &stopped), 0) << Text(dir_ + "/machine.err");
    EXPECT_TRUE(stopped.value("clean", false)) << stopped.dump();
}

TEST_F(MachineProcesses, SecondMachineAndBadRequestsAreRefused) {
    std::string output;
    EXPECT_EQ(RunProgram({Q407_PROGRAM, "device", "--machine", socket_, "list"}, &output), 1)
        << "no machine yet";
    StartMachine();
    ChildProcess second;
    ASSERT_TRUE(second.Start(
        {Q407_PROGRAM, "machine", "--socket", socket_, "--settings", dir_ + "/other.txt"},
        dir_ + "/second.err"));
    EXPECT_EQ(second.Wait(kPatience), 3);
    EXPECT_NE(Text(dir_ + "/second.err").find("already running"), std::string::npos);

    nlohmann::json answer;
    EXPECT_EQ(Device({"unplug", "7"}, &answer), 4);
    EXPECT_FALSE(answer.value("ok", true));
    EXPECT_EQ(Device({"explode"}), 2);
    EXPECT_EQ(Device({"sleep"}), 0);
    EXPECT_EQ(Device({"list"}, &answer), 0);
    EXPECT_EQ(answer["units"][0]["state"], "asleep");
    EXPECT_EQ(Device({"wake"}), 0);

    nlohmann::json stopped;
    EXPECT_EQ(StopMachine(SIGTERM, &stopped), 0) << Text(dir_ + "/machine.err");
    EXPECT_TRUE(stopped.value("clean", false)) << stopped.dump();
}

}  // namespace
}  // namespace q407::testing
