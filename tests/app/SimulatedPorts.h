// Virtual serial ports for the engine's tests: each with its name, whether it
// opens, its modem lines, and optionally a station behind it. The station
// answers what the window writes; the test drives the window's main thread
// (the serial component's hand-offs) and its Delay timer by hand, so nothing
// waits on a clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Classes.h"
#include "FakeCommOs.h"
#include "FakeForm.h"
#include "Main.h"
#include "Station.h"

namespace apptest {

class SimulatedPorts {
 public:
  static constexpr DWORD kAllLines = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;

  explicit SimulatedPorts(comm::test::FakeCommOs& os) : os_(os) {}

  // A port with nothing behind it.
  void AddPort(const std::string& name, DWORD modemStatus = kAllLines, bool opens = true) {
    comm::test::FakeCommOs::Port& p = os_.AddPort(name);
    p.modemStatus = modemStatus;
    p.busy = !opens;
  }

  // A port with a station behind it. Its first reply chunks arrive as soon as
  // a write is complete; later ones (a split reply) when Settle finds the
  // line quiet.
  station::Station& AddStation(const std::string& name, station::Config config = {},
                               DWORD modemStatus = kAllLines) {
    AddPort(name, modemStatus);
    auto entry = std::make_unique<Entry>(std::move(config));
    Entry* e = entry.get();
    entries_[name] = std::move(entry);
    os_.WithPort(name, [e](comm::test::FakeCommOs::Port& p) {
      p.peer = [e](const std::vector<std::uint8_t>& written, std::vector<std::uint8_t>& reply) {
        std::vector<station::Chunk> chunks = e->station.Receive(written);
        // The station's time is not waited for; but a chunk that comes after
        // a pause, and all after it, arrive later, in events of their own.
        bool later = false;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
          if (i > 0 && chunks[i].delayMs > 0) later = true;
          if (later) {
            e->later.push_back(std::move(chunks[i].bytes));
          } else {
            reply.insert(reply.end(), chunks[i].bytes.begin(), chunks[i].bytes.end());
          }
        }
      };
      return 0;
    });
    return e->station;
  }

  station::Station& StationAt(const std::string& name) { return entries_.at(name)->station; }

  // Everything the window wrote to the port, as text.
  std::string Written(const std::string& name) {
    return os_.WithPort(name, [](comm::test::FakeCommOs::Port& p) {
      return std::string(p.output.begin(), p.output.end());
    });
  }
  void ClearWritten(const std::string& name) {
    os_.WithPort(name, [](comm::test::FakeCommOs::Port& p) {
      p.output.clear();
      return 0;
    });
  }
  bool IsOpen(const std::string& name) {
    return os_.WithPort(name, [](comm::test::FakeCommOs::Port& p) { return p.open; });
  }

  // Runs the main thread's hand-offs and delivers the stations' later
  // chunks until nothing more happens: no call queued, and every open port's
  // event thread waiting with nothing to report.
  void Settle() {
    auto& queue = comm::TMainThreadQueue::Instance();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      queue.RunPending();
      if (queue.PendingCount() == 0 && AllWaiting()) {
        if (!DeliverLater()) return;
        continue;
      }
      if (std::chrono::steady_clock::now() > limit) {
        ADD_FAILURE() << "the ports never settled";
        return;
      }
      queue.WaitAndRunPending(std::chrono::milliseconds(1));
    }
  }

 private:
  struct Entry {
    explicit Entry(station::Config config) : station(std::move(config)) {}
    station::Station station;
    std::deque<std::vector<std::uint8_t>> later;
  };

  bool AllWaiting() {
    for (auto& [name, entry] : entries_) {
      const bool waiting = os_.WithPort(name, [](comm::test::FakeCommOs::Port& p) {
        return !p.open || (p.waitMask != nullptr && p.history == 0);
      });
      if (!waiting) return false;
    }
    return true;
  }

  // One later chunk of one station; false when none is left. A closed port
  // drops them: the station spoke after the line was given up.
  bool DeliverLater() {
    for (auto& [name, entry] : entries_) {
      while (!entry->later.empty()) {
        std::vector<std::uint8_t> bytes = std::move(entry->later.front());
        entry->later.pop_front();
        if (!IsOpen(name)) continue;
        os_.Receive(name, bytes);
        return true;
      }
    }
    return false;
  }

  comm::test::FakeCommOs& os_;
  std::map<std::string, std::unique_ptr<Entry>> entries_;
};

// Presses the timer as its countdown running out would: a tick leaves it
// disabled. Returns the interval that ran out, 0 when it was not running.
inline std::uint32_t FireDelay(FakeForm& form) {
  if (!form.delay.enabled) return 0;
  const std::uint32_t interval = form.delay.interval;
  form.delay.enabled = false;
  form.delay.OnTimer(&form.delay);
  return interval;
}

}  // namespace apptest
