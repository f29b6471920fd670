// Talking to one device: the connection step, identification, the whole-model transfers and
// the monitor's poll. Free of widgets, so that the desktop program and the command-line tool
// run the same code.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/settings.h"
#include "model/dev_interface.h"

class CModbusInterface;

struct DeviceIdentity {
    uint16_t typeCode = 0;
    uint32_t version = 0;  // major * 65536 + minor
};

// Reads the type code (3003) and the version (3000, 3001) of the device on the open master.
DeviceIdentity IdentifyDevice(CModbusInterface& master);
// A fresh settings model for the device, or "unknowndev" with the type code.
std::unique_ptr<CDevInterface> AcceptForReading(const DeviceIdentity& device);
// "diffdev" unless the device is of the model's type and inside its version range.
void AcceptForWriting(const CDevInterface& model, const DeviceIdentity& device);

// What a transfer reports while it runs, and how it learns that the user wants it to stop.
// Closes the master however the exchange ends.
class CloseGuard {
public:
    explicit CloseGuard(CModbusInterface& master) : m_master(master) {}
    ~CloseGuard();
    CloseGuard(const CloseGuard&) = delete;
    CloseGuard& operator=(const CloseGuard&) = delete;

private:
    CModbusInterface& m_master;
};

class TransferProgress {
public:
    virtual ~TransferProgress() = default;
    virtual void SetProgress(double /*fraction*/) {}
    // A transfer of several passes (a download and its read-back) announces each before it runs.
    virtual void BeginPass(int /*pass*/, int /*passes*/) {}
    virtual bool Cancelled() const { return false; }

    // A download counts its register blocks here as it writes them.
    void SetBlocks(size_t written, size_t total) {
        m_blocksWritten = written;
        m_blockCount = total;
    }
    size_t BlocksWritten() const { return m_blocksWritten; }
    size_t BlockCount() const { return m_blockCount; }
    // Some blocks but not all reached the device: it holds old and new settings side by side.
    bool PartlyWritten() const { return m_blocksWritten > 0 && m_blocksWritten < m_blockCount; }

private:
    std::atomic<size_t> m_blocksWritten{0};
    std::atomic<size_t> m_blockCount{0};
};

// "mixwarn" with the blocks written and their number, for a download that stopped part-way.
std::string MixtureWarning(const TransferProgress& progress);

// Opens the master, identifies the device and reads every parameter of a new settings model,
// one request per block of the register image, progress after each block, the cancel flag
// looked at between blocks. Returns the complete model, or null when cancelled; errors are
// thrown. The master is closed in every outcome.
std::unique_ptr<CDevInterface> ReadFromDevice(CModbusInterface& master, TransferProgress& progress);
// Writes every parameter of the model after checking its values against their definitions
// ("val.refused", before the device is opened) and the device against the model; nothing is
// written after a failed check. Counts the blocks in progress. Returns false when cancelled.
bool WriteToDevice(CModbusInterface& master, CDevInterface& model, TransferProgress& progress);

// The firmware version and serial number of the device, as the monitor shows them, read on the
// master (opened and closed here). What the device does not answer stays empty: this only
// labels a read, it never fails one.
struct DeviceLabel {
    std::string firmware;
    std::string serial;
};
DeviceLabel ReadDeviceLabel(CModbusInterface& master, const CDevInterface& model);

// Reads the device's monitor model: identification (the three version words serve the block at
// 3000), then every block. The master is opened and closed here; closing, when set, ends the poll
// at once with the empty (cancelled) error.
std::unique_ptr<CDevInterface> PollMonitor(CModbusInterface& master,
                                           const std::atomic<bool>* closing = nullptr);

// The user's side of the connection step: which port, the device password, and error display.
class ConnectionUi {
public:
    virtual ~ConnectionUi() = default;
    // Lets the user choose the port; false ends the command.
    virtual bool ChoosePort(ComSettings& settings) = 0;
    // Asks for the password and sends it on the open master; true when the device accepted it.
    virtual bool AskPassword(CModbusInterface& master) = 0;
    virtual void ShowError(const std::string& text) = 0;
};

// The connection step: port choice, settings saved (when asked), one probe read of 3003, and the
// password when the device answers that it is protected. True when the command may go on.
bool ConnectDevice(CModbusInterface& master, ConnectionUi& ui, ComSettings settings,
                   bool saveSettings);

// Sends a password typed by the user: its packing and the authentication write. Returns the
// message key of the failure ("stopcom" for an empty password, "passtoolong", "passchars",
// "autherr"), or empty on success.
std::string SendPassword(CModbusInterface& master, const std::string& password);
