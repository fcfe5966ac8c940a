// The window's logic over virtual ports with simulated stations, the real
// serial component in between, and the window's controls as plain values.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Classes.h"
#include "EmbeddedImage.h"
#include "FakeCommOs.h"
#include "FakeForm.h"
#include "Main.h"
#include "SimulatedPorts.h"

namespace apptest {

// The port names a press of Start gets; the test changes them at will.
class ListSource : public app::TPortSource {
 public:
  void EnumerateSerialPorts(std::vector<std::string>& portList) override {
    ++calls;
    portList.insert(portList.end(), names.begin(), names.end());
  }
  std::vector<std::string> names{"COM1"};
  int calls = 0;
};

class EngineFixture : public ::testing::Test {
 protected:
  EngineFixture() {
    for (std::string_view line : resources::EmbeddedImageLines()) {
      form.progSrc.items.emplace_back(line);
    }
    panel = std::make_unique<app::TMainPanel>(nullptr, form, os, source);
  }

  ~EngineFixture() override {
    // The window closes its port; the event thread frees itself a moment
    // later and may still touch the serial double until then.
    panel.reset();
    WaitForEventThreads();
  }

  void TearDown() override { ports.Settle(); }

  static void WaitForEventThreads() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (comm::TCommEventThread::LiveCount() != 0 && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Presses Start and lets what it started settle.
  void Press() {
    ASSERT_TRUE(form.button.enabled) << "Start is disabled";
    form.button.OnClick(&form.button);
    ports.Settle();
  }

  // Runs the timer whenever everything else has settled, until Start is
  // enabled again. Returns the intervals that ran out, in order.
  std::vector<std::uint32_t> RunToEnd(int maxTicks = 100) {
    std::vector<std::uint32_t> ticks;
    for (;;) {
      ports.Settle();
      if (form.button.enabled) return ticks;
      if (static_cast<int>(ticks.size()) >= maxTicks) {
        ADD_FAILURE() << "the run did not end";
        return ticks;
      }
      const std::uint32_t interval = FireDelay(form);
      if (interval == 0) {
        ADD_FAILURE() << "the run stands still: Start disabled, no timer running";
        return ticks;
      }
      ticks.push_back(interval);
    }
  }

  // Every ending leaves the window idle.
  void ExpectIdle() {
    EXPECT_FALSE(panel->Comm->IsOpen());
    EXPECT_EQ(panel->UpgradeState, 0u);
    EXPECT_EQ(panel->ResultText, "OK");
    EXPECT_FALSE(panel->SendPending);
    EXPECT_TRUE(form.button.enabled);
    EXPECT_FALSE(form.delay.enabled);
    WaitForEventThreads();
    EXPECT_EQ(comm::TCommEventThread::LiveCount(), 0) << "the event thread outlived its port";
  }

  // The carried image as a plain reading of its records gives it.
  static std::array<std::uint8_t, 65536> ExpectedImage() {
    std::array<std::uint8_t, 65536> image;
    image.fill(0xFF);
    auto hex = [](std::string_view s, std::size_t pos, std::size_t n) {
      return static_cast<unsigned>(std::stoul(std::string(s.substr(pos, n)), nullptr, 16));
    };
    for (std::string_view line : resources::EmbeddedImageLines()) {
      const unsigned count = hex(line, 1, 2);
      const unsigned address = hex(line, 3, 4);
      for (unsigned j = 0; j < count; ++j) {
        image.at(address + j) = static_cast<std::uint8_t>(hex(line, 9 + 2 * j, 2));
      }
    }
    return image;
  }

  comm::test::FakeCommOs os;
  SimulatedPorts ports{os};
  FakeForm form;
  ListSource source;
  ComponentBoxes componentBoxes;
  std::unique_ptr<app::TMainPanel> panel;
};

}  // namespace apptest
