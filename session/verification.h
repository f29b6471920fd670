// Checking what a download wrote: the device's registers read back and compared with the model
// word for word, so that a unit is known to hold what was meant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/dev_interface.h"
#include "session/device_session.h"

class CModbusInterface;

// One parameter whose device registers differ from the words written.
struct VerifyDifference {
    int index = 0;        // in the model
    std::string written;  // display texts, as the list shows them
    std::string held;
};

// What the read-back found: how many parameters were compared, and those that differ.
struct VerifyResult {
    int compared = 0;
    std::vector<VerifyDifference> differences;
    bool Passed() const { return differences.empty(); }
};

// Whether a parameter is compared: a device changes operations and read-only values by itself.
bool IsVerified(const CParInterface& parameter);

// Opens the master, reads back every block that a download of the model writes, compares every
// compared parameter and closes the master. Nothing when cancelled; errors are thrown.
std::optional<VerifyResult> VerifyDevice(CModbusInterface& master, const CDevInterface& model,
                                         TransferProgress& progress);

// The "verifyerr" text: each differing parameter by its label with what was written and what the
// device holds, at most maxLines of them and a count of the rest.
std::string VerifyFailureText(const CDevInterface& model, const VerifyResult& result,
                              size_t maxLines = SIZE_MAX);

// A download followed, when asked, by its verification, as two passes of one progress. False
// when cancelled; a verification that finds differences raises the "verifyerr" text. The result
// of a read-back that ran to its end goes to result when given; the error text lists at most
// maxLines parameters.
bool WriteAndVerify(CModbusInterface& master, CDevInterface& model, TransferProgress& progress,
                    bool verify, std::optional<VerifyResult>* result = nullptr,
                    size_t maxLines = SIZE_MAX);
