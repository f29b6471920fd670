// norvelco-cli doctor: one line per finding about the machine's serial ports, with the advice
// that fixes what stands in the way.
#pragma once

#include <ostream>

#include "app/settings.h"
#include "modbus/port_diagnosis.h"
#include "modbus/port_discovery.h"

namespace cli {

struct DoctorInputs {
    PortDiscoveryRoots roots;
    DiagnosisContext context = DiagnosisContext::Live();
};

// Prints the findings; returns 0 when the port the settings name can be opened, 1 otherwise
// (also when no port is named).
int RunDoctor(const ComSettings& settings, std::ostream& out, const DoctorInputs& inputs);

}  // namespace cli
