// A byte transport whose other end is the simulated device, in-process: the master's frames go
// to the simulator and its replies come back, with no port. The test may change the line while
// the worker uses it: swap the device behind it, make it fall silent or slow.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "modbus/byte_transport.h"
#include "modbus/framing.h"
#include "modbus/modbus_interface.h"
#include "tools/devsim/device_sim.h"

namespace testing_support {

class SimLine : public CByteTransport {
public:
    explicit SimLine(devsim::CDeviceSim& sim) : m_sim(&sim) {}

    void Open(const ComSettings&) override { isOpen = true; }
    void Close() override { isOpen = false; }
    void SetReadTimeout(uint32_t totalMs) override { m_timeoutMs = totalMs; }
    void SetReadTimeouts(uint32_t totalMs, uint32_t) override { m_timeoutMs = totalMs; }
    size_t Read(uint8_t* buffer, size_t n) override {
        std::unique_lock lock(m_mutex);
        // A reply wait on a silent line lasts; flushing stale bytes (1 ms) does not.
        if (m_pending.empty() && m_timeoutMs > 1 && stallMs > 0) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
            lock.lock();
        }
        n = std::min(n, m_pending.size());
        std::copy_n(m_pending.begin(), n, buffer);
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }
    size_t Write(const uint8_t* buffer, size_t n) override {
        std::vector<uint8_t> frame(buffer, buffer + n);
        if (!modbus::RtuCrcOk(frame)) return n;
        frame.resize(frame.size() - 2);
        if (frame[1] == 16 && writeStallMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(writeStallMs));
        std::lock_guard lock(m_mutex);
        m_requests.push_back(frame);
        if (silent) return n;
        if (frame[1] == 16 && answerWrites >= 0 && writesAnswered >= answerWrites) return n;
        if (auto reply = m_sim->Handle(frame, devsim::Clock::now())) {
            auto framed = modbus::RtuFrame(*reply);
            m_pending.insert(m_pending.end(), framed.begin(), framed.end());
        }
        if (frame[1] == 16) ++writesAnswered;
        return n;
    }

    // Another device behind the same line.
    void SetSim(devsim::CDeviceSim& sim) {
        std::lock_guard lock(m_mutex);
        m_sim = &sim;
    }
    std::optional<uint16_t> Register(uint16_t address) {
        std::lock_guard lock(m_mutex);
        return m_sim->Register(address);
    }
    size_t RequestCount() const {
        std::lock_guard lock(m_mutex);
        return m_requests.size();
    }
    // Requests of one function code, as (address, count).
    std::vector<std::pair<int, int>> Requests(uint8_t function) const {
        std::lock_guard lock(m_mutex);
        std::vector<std::pair<int, int>> out;
        for (const auto& r : m_requests)
            if (r.size() >= 6 && r[1] == function)
                out.emplace_back(r[2] << 8 | r[3], r[4] << 8 | r[5]);
        return out;
    }
    // How many identifications (reads of the type code) have started.
    int Polls() const {
        int polls = 0;
        for (const auto& [address, count] : Requests(3)) polls += address == 3003 ? 1 : 0;
        return polls;
    }

    std::atomic<bool> silent{false};
    std::atomic<int> stallMs{0};       // each reply wait on a silent line
    std::atomic<int> writeStallMs{0};  // before a register write reaches the device
    std::atomic<int> writesAnswered{0};
    std::atomic<int> answerWrites{-1};  // register writes answered before they fall silent; -1: all
    std::atomic<bool> isOpen{false};

private:
    mutable std::mutex m_mutex;
    devsim::CDeviceSim* m_sim;
    std::deque<uint8_t> m_pending;
    std::vector<std::vector<uint8_t>> m_requests;
    std::atomic<uint32_t> m_timeoutMs{0};
};

// A master wired to a simulated device; line() shows what crossed it.
class SimMaster {
public:
    explicit SimMaster(devsim::CDeviceSim& sim, ComSettings settings = {}) {
        auto line = std::make_unique<SimLine>(sim);
        m_line = line.get();
        settings.Character = 1;
        m_master = std::make_unique<CModbusInterface>(settings, std::move(line));
        m_master->SetSleepFunction([](uint32_t) {});
    }
    CModbusInterface& master() { return *m_master; }
    SimLine& line() { return *m_line; }

private:
    SimLine* m_line;
    std::unique_ptr<CModbusInterface> m_master;
};

}  // namespace testing_support
