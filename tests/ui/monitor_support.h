// What the monitor-window tests share: a master on a simulated device and a modal run of the
// monitor with a script inside it.
#pragma once

#include <gtest/gtest.h>

#include <QTimer>
#include <functional>
#include <memory>

#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "sim_line.h"
#include "tools/devsim/device_sim.h"
#include "ui/monitor_dialog.h"

namespace monitor_support {

using MonitorLine = testing_support::SimLine;

// A master on a MonitorLine.
struct Bench {
    explicit Bench(devsim::CDeviceSim& sim) {
        auto owned = std::make_unique<MonitorLine>(sim);
        line = owned.get();
        ComSettings settings;
        settings.Character = 1;
        master = std::make_unique<CModbusInterface>(settings, std::move(owned));
        master->SetSleepFunction([](uint32_t) {});
    }
    MonitorLine* line;
    std::unique_ptr<CModbusInterface> master;
};

inline devsim::SimConfig Config(const char* model) {
    devsim::SimConfig c;
    c.entry = CDevType::FindModel(model);
    c.firmware = {2, 5, 1};
    return c;
}

// Polls quickly; the status timer never fires by itself, so tests tick it and see each step.
constexpr MonitorTimings kFast{20, 1000000};

// Runs the monitor modally; the script runs inside the modal loop, then the window is closed.
inline void RunMonitor(CMonitorDialog& d, CModbusInterface& master,
                       const std::function<void()>& script, int guardMs = 8000) {
    QTimer::singleShot(0, &d, [&] {
        script();
        d.reject();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &d, [&d] {
        ADD_FAILURE() << "the monitor did not end";
        d.done(QDialog::Rejected);
    });
    guard.start(guardMs);
    EXPECT_EQ(d.Run(master), QDialog::Rejected);
}

}  // namespace monitor_support
