// The serial port under the master. Kept apart from the master's core so that programs and
// tests that give the master another transport do not link the port layer.
#include "modbus/byte_transport.h"
#include "modbus/modbus_interface.h"
#include "modbus/serial_io.h"

CSerialTransport::CSerialTransport() : m_port(std::make_unique<CSerialIO>()) {}
CSerialTransport::~CSerialTransport() = default;

void CSerialTransport::Open(const ComSettings& settings) {
    m_port->Open(settings);
}
void CSerialTransport::Close() {
    m_port->Close();
}
void CSerialTransport::SetReadTimeout(uint32_t totalMs) {
    m_port->SetReadTimeout(totalMs);
}
void CSerialTransport::SetReadTimeouts(uint32_t totalMs, uint32_t intervalMs) {
    m_port->SetReadTimeouts(totalMs, intervalMs);
}
size_t CSerialTransport::Read(uint8_t* buffer, size_t n) {
    return m_port->Read(buffer, n);
}
size_t CSerialTransport::Write(const uint8_t* buffer, size_t n) {
    return m_port->Write(buffer, n);
}

CModbusInterface::CModbusInterface() : CModbusInterface(ComSettings::Loaded()) {}

CModbusInterface::CModbusInterface(const ComSettings& settings)
    : CModbusInterface(settings, std::make_unique<CSerialTransport>()) {}
