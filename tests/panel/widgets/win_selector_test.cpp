// The page list: operations reach every page in list order, select shows one page, release
// releases each page once and empties the list.
#include "panel/widgets/win_selector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace q407::panel {
namespace {

struct FakePage : IPanelInterface {
    FakePage(std::vector<std::string>* log, std::string name) : log_(log), name_(std::move(name)) {}
    void UpdateMeters(const uint8_t* peaks24) override {
        Log("meters " + std::to_string(peaks24[23]));
    }
    void ApplyConfig(PanelConfig config) override {
        Log("config " + std::to_string(config.latency));
    }
    void Show(int flag) override { Log("show " + std::to_string(flag)); }
    void SetDevice(USBDevice* device) override { Log(device ? "device" : "no device"); }
    void ClearDevice() override { Log("clear"); }
    void Release() override { Log("release"); }
    void ShowAll(int flag) override { Log("all " + std::to_string(flag)); }
    void Log(const std::string& what) { log_->push_back(name_ + " " + what); }
    std::vector<std::string>* log_;
    std::string name_;
};

using Log = std::vector<std::string>;

TEST(WinSelector, BroadcastsInOrderAndSelectsOne) {
    Log log;
    FakePage a(&log, "a"), b(&log, "b");
    {
        CWinSelector pages;
        EXPECT_EQ(pages.current(), -1);
        pages.add(&a);
        pages.add(nullptr);
        pages.add(&b);
        EXPECT_EQ(pages.size(), 2u);
        EXPECT_EQ(pages.select(1), -1);
        EXPECT_EQ(log, Log({"a show 0", "b show 0", "b show 1"}));
        log.clear();
        EXPECT_EQ(pages.select(0), 1);
        EXPECT_EQ(pages.current(), 0);
        EXPECT_EQ(pages.select(5), 0);  // out of range: hides only
        EXPECT_EQ(pages.current(), 0);
        log.clear();
        uint8_t peaks[24] = {};
        peaks[23] = 9;
        PanelConfig config;
        std::memset(&config, 0, sizeof config);
        config.latency = 64;
        pages.UpdateMeters(peaks);
        pages.ApplyConfig(config);
        pages.ShowAll(1);
        pages.SetDevice(nullptr);
        EXPECT_EQ(log, Log({"a meters 9", "b meters 9", "a config 64", "b config 64", "a all 1",
                            "b all 1", "a no device", "b no device"}));
        log.clear();
        pages.release();
        EXPECT_EQ(pages.size(), 0u);
        EXPECT_EQ(pages.current(), -1);
        pages.UpdateMeters(peaks);
    }
    // Destroying the emptied list releases nothing twice.
    EXPECT_EQ(log, Log({"a release", "b release"}));
}

}  // namespace
}  // namespace q407::panel
