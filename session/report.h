// The hand-over report: when, with what and on which port a unit was set up, its identification,
// every parameter grouped as the list shows them, and what the read-back after a download found.
// Written as a self-contained HTML page (printable on A4) or as CSV.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "app/settings.h"
#include "model/dev_interface.h"
#include "session/verification.h"

class CModbusInterface;

// What the monitor model shows of a unit beyond its settings.
struct DeviceInfo {
    std::string firmware;  // the three version words
    std::string serial;
    std::string mac;  // empty when the model has none or the radio reports none
};

// One monitor poll of the device on the master (opened and closed here); errors are thrown.
DeviceInfo ReadDeviceInfo(CModbusInterface& master);

struct ReportData {
    std::time_t made = 0;
    std::string program;  // product name and version
    std::string port;     // empty: not made with a device
    std::string source;   // where the values come from (a file, the device); empty: not shown
    const CDevInterface* model = nullptr;
    std::optional<DeviceInfo> device;
    std::optional<VerifyResult> verification;
};

std::string ReportHtml(const ReportData& report);
std::string ReportCsv(const ReportData& report);

// The port as the user knows it: the serial device path, or the server of a network mode.
std::string PortText(const ComSettings& settings);
