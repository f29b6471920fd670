// The byte stream under the serial Modbus framings: the serial port in the program, a scripted
// fake in the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/settings.h"

class CByteTransport {
public:
    virtual ~CByteTransport() = default;

    // Opens (or reopens) the line named by the settings; throws CPrivateException on failure.
    virtual void Open(const ComSettings& settings) = 0;
    // Safe when nothing is open.
    virtual void Close() = 0;
    // Total time-out of each following read call.
    virtual void SetReadTimeout(uint32_t totalMs) = 0;
    virtual void SetReadTimeouts(uint32_t totalMs, uint32_t intervalMs) = 0;
    // Up to n bytes that arrived within the time-out; 0 when none. Never throws.
    virtual size_t Read(uint8_t* buffer, size_t n) = 0;
    // Bytes written; 0 on failure. Never throws.
    virtual size_t Write(const uint8_t* buffer, size_t n) = 0;
};
