// A byte transport whose other end is the simulated device, in-process: the master's frames go
// to the simulator and its replies come back, with no port and no waiting.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "modbus/byte_transport.h"
#include "modbus/framing.h"
#include "modbus/modbus_interface.h"
#include "tools/devsim/device_sim.h"

namespace testing_support {

class SimLine : public CByteTransport {
public:
    explicit SimLine(devsim::CDeviceSim& sim) : m_sim(sim) {}

    void Open(const ComSettings&) override { isOpen = true; }
    void Close() override { isOpen = false; }
    void SetReadTimeout(uint32_t) override {}
    void SetReadTimeouts(uint32_t, uint32_t) override {}
    size_t Read(uint8_t* buffer, size_t n) override {
        n = std::min(n, m_pending.size());
        std::copy_n(m_pending.begin(), n, buffer);
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }
    size_t Write(const uint8_t* buffer, size_t n) override {
        std::vector<uint8_t> frame(buffer, buffer + n);
        if (!modbus::RtuCrcOk(frame)) return n;
        frame.resize(frame.size() - 2);
        requests.push_back(frame);
        if (silent) return n;
        if (auto reply = m_sim.Handle(frame, devsim::Clock::now())) {
            auto framed = modbus::RtuFrame(*reply);
            m_pending.insert(m_pending.end(), framed.begin(), framed.end());
        }
        if (afterRequest) afterRequest(requests.size());
        return n;
    }

    // Requests of one function code, as (address, count).
    std::vector<std::pair<int, int>> Requests(uint8_t function) const {
        std::vector<std::pair<int, int>> out;
        for (const auto& r : requests)
            if (r.size() >= 6 && r[1] == function)
                out.emplace_back(r[2] << 8 | r[3], r[4] << 8 | r[5]);
        return out;
    }

    std::vector<std::vector<uint8_t>> requests;
    std::function<void(size_t)> afterRequest;  // called after each answered request
    bool silent = false;
    bool isOpen = false;

private:
    devsim::CDeviceSim& m_sim;
    std::deque<uint8_t> m_pending;
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
