// The serial port: the byte transport of the serial Modbus modes, over termios.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/settings.h"
#include "modbus/byte_transport.h"

struct termios;

class CSerialIO : public CByteTransport {
public:
    CSerialIO() = default;
    ~CSerialIO() override;
    CSerialIO(const CSerialIO&) = delete;
    CSerialIO& operator=(const CSerialIO&) = delete;

    // Opens COMPortName exclusively and configures it from the record; "serio.openerr" with the
    // path (insert 1) and the reason (insert 2) when it cannot be opened.
    void Open(const ComSettings& settings) override;
    // Line settings and the stored time-outs; "MSG_CANNOT_COM_SETTING" when they are refused.
    void Configure(int rate, int dataBits, int parity, int stopBits);
    // The read time-outs, kept for the following reads (they never fail). An interval of 0
    // disables the gap time-out; otherwise a read also ends that long after its last byte.
    void SetReadTimeout(uint32_t totalMs) override;
    void SetReadTimeouts(uint32_t totalMs, uint32_t intervalMs) override;
    // Up to n bytes that arrived within the time-outs; 0 when none. Never throws.
    size_t Read(uint8_t* buffer, size_t n) override;
    // Bytes written; 0 on failure. Never throws.
    size_t Write(const uint8_t* buffer, size_t n) override;
    void Close() override;

    bool IsOpen() const { return m_fd >= 0; }
    // Whether the driver took RS-485 mode (RTS on send), or fell back to no RTS control.
    bool RtsToggling() const { return m_rtsToggle; }
    uint32_t ReadTotalTimeout() const { return m_readTotalMs; }
    uint32_t ReadIntervalTimeout() const { return m_readIntervalMs; }

private:
    int m_fd = -1;
    std::string m_path;
    ComSettings m_settings;
    bool m_rtsToggle = false;
    bool m_rs485Switched = false;  // this object turned the driver's RS-485 mode on
    uint32_t m_readIntervalMs = 1000;
    uint32_t m_readTotalMs = 1000;
    uint32_t m_writeTotalMs = 1000;
};

// The termios line settings for a rate, data bits, parity code and stop-bit code, in raw mode.
// Returns false for a rate, character size (5..8), parity or stop-bit code the system cannot
// set. Kept apart so that it can be tested directly: pseudo-terminals silently drop parity and
// character-size settings.
bool MakeLineSettings(struct termios& tio, int rate, int dataBits, int parity, int stopBits);
