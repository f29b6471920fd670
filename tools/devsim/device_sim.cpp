#include "tools/devsim/device_sim.h"

#include <algorithm>
#include <cstring>

#include "modbus/framing.h"
#include "model/dev_types.h"
#include "platform/text.h"
#include "session/password.h"

namespace devsim {
namespace {

constexpr uint8_t FC_READ = modbus::FC_READ_HOLDING_REGISTERS;
constexpr uint8_t FC_WRITE = modbus::FC_WRITE_MULTIPLE_REGISTERS;
constexpr uint8_t FC_PASSWORD = modbus::FC_WRITE_AUTHENTICATION;

// Radio firmware and hardware address the simulated radio module reports.
constexpr uint16_t kRadioFirmware[3] = {0x0002, 0x0010, 0x0005};

uint16_t Word(std::span<const uint8_t> pdu, size_t at) {
    return static_cast<uint16_t>(pdu[at] << 8 | pdu[at + 1]);
}

void PutWord(std::vector<uint8_t>& out, uint16_t w) {
    out.push_back(static_cast<uint8_t>(w >> 8));
    out.push_back(static_cast<uint8_t>(w & 0xFF));
}

// The validated layout shared by function 16 and function 68: address, quantity and the values.
struct WriteRequest {
    uint16_t address = 0;
    uint16_t count = 0;
    std::vector<uint16_t> values;
};

// Nothing when the quantity, the byte count or the frame length disagree.
std::optional<WriteRequest> ParseWrite(std::span<const uint8_t> pdu) {
    if (pdu.size() < 7) return std::nullopt;
    WriteRequest w;
    w.address = Word(pdu, 2);
    w.count = Word(pdu, 4);
    const size_t bytes = pdu[6];
    if (w.count < 1 || w.count > modbus::kMaxWriteCount || bytes != 2u * w.count || pdu.size() != 7 + bytes)
        return std::nullopt;
    for (size_t i = 0; i < w.count; ++i) w.values.push_back(Word(pdu, 7 + 2 * i));
    return w;
}

std::vector<uint8_t> WriteEcho(std::span<const uint8_t> pdu) {
    return {pdu.begin(), pdu.begin() + 6};
}

}  // namespace

std::optional<PasswordWords> PackPassword(std::string_view utf8) {
    // The same packing as the Configurator's password window, so that its passwords unlock us.
    ::PasswordWords words{};
    if (::PackPassword(utf8, words) != PasswordCheck::Ok) return std::nullopt;
    return words;
}

std::vector<uint8_t> ExceptionReply(uint8_t unit, uint8_t function, uint8_t code) {
    return {unit, static_cast<uint8_t>(function | 0x80), code};
}

CDeviceSim::CDeviceSim(const SimConfig& config, Clock::time_point now)
    : m_config(config),
      m_lastActivity(now),
      m_lastTick(now),
      m_random(config.seed ? config.seed : 1) {
    m_config.entry = std::clamp(m_config.entry, 0, CDevType::EntryCount() - 1);
    AddModelRegisters(DEV_SETTINGS);
    AddModelRegisters(DEV_MONITOR);

    const auto identify = [this](uint16_t address, uint16_t value) {
        Reg& r = m_registers[address];
        r.value = r.factory = value;
        r.kind = Kind::Identification;
        r.def = nullptr;
    };
    identify(REG_FIRMWARE_MAJOR, m_config.firmware[0]);
    identify(REG_FIRMWARE_MINOR, m_config.firmware[1]);
    identify(REG_FIRMWARE_THIRD, m_config.firmware[2]);
    identify(REG_TYPE_CODE, TypeCode());

    // The text rows are packed by the model's own codec so that the Configurator reads them back.
    const auto version = MakeVersion(m_config.firmware[0], m_config.firmware[1]);
    auto monitor = CDevType().Create(m_config.entry, version, DEV_MONITOR);
    const auto putText = [&](const char* key, const std::string& text) {
        const int index = monitor->IndexOf(key);
        if (!monitor->Is(index, key)) return;
        CParValue& v = monitor->At(index).Value();
        v.SetString(0, text);
        for (uint16_t k = 0; k < v.Count(); ++k)
            identify(static_cast<uint16_t>(v.Address() + k), v.Word(k));
    };
    putText("serial", m_config.serialNumber);
    putText("model", ModelCode());

    if (auto a = m_keyAddress.find("nrvlfirmver"); a != m_keyAddress.end())
        for (uint16_t k = 0; k < 3; ++k)
            m_registers[static_cast<uint16_t>(a->second + k)].value = kRadioFirmware[k];
    if (auto a = m_keyAddress.find("mac"); a != m_keyAddress.end()) {
        const uint32_t id = m_config.seed * 2654435761u + TypeCode();
        const uint16_t mac[4] = {0x0013, 0xA200, static_cast<uint16_t>(id >> 16),
                                 static_cast<uint16_t>(id)};
        for (uint16_t k = 0; k < 4; ++k)
            m_registers[static_cast<uint16_t>(a->second + k)].value = mac[k];
    }
    SetByKey("rssi", static_cast<uint16_t>(-72));
    SetByKey("actled", 1);
    SetByKey("lonlyled", 0);
    m_locked = m_config.password.has_value();
    ApplySettings();
    m_changed = false;
}

CDeviceSim::~CDeviceSim() = default;

const char* CDeviceSim::ModelCode() const {
    return CDevType::Entry(m_config.entry).modelCode;
}
uint16_t CDeviceSim::TypeCode() const {
    return CDevType::Entry(m_config.entry).typeCode;
}

void CDeviceSim::AddModelRegisters(int factory) {
    const auto version = MakeVersion(m_config.firmware[0], m_config.firmware[1]);
    auto model = CDevType().Create(m_config.entry, version, factory);
    for (int i = 0; i < model->Count(); ++i) {
        const CParInterface& par = model->At(i);
        const CParValue& v = par.Value();
        if (v.Count() == 0) continue;
        m_keyAddress.emplace(par.Key(), v.Address());
        const bool writable = (par.Flags() & PARF_READONLY) == 0;
        Kind kind = Kind::Status;
        if (factory == DEV_SETTINGS)
            kind = Kind::Setting;
        else if (par.Type() == PAR_LIST32 && writable)
            kind = Kind::Command;
        else if (writable)
            kind = Kind::Output;
        for (uint16_t k = 0; k < v.Count(); ++k) {
            const uint16_t address = static_cast<uint16_t>(v.Address() + k);
            auto [it, added] = m_registers.try_emplace(address);
            Reg& r = it->second;
            if (added) r.value = r.factory = v.Word(k);
            // A writable row sharing a register with a read-only one (an output and its switch)
            // decides how the register is written.
            if (added || (writable && !r.def)) {
                r.kind = kind;
                r.def = writable ? &par.Definition() : nullptr;
                r.word = k;
            }
        }
    }
}

void CDeviceSim::SetByKey(const char* key, uint16_t value) {
    if (auto a = m_keyAddress.find(key); a != m_keyAddress.end())
        m_registers[a->second].value = value;
}

uint16_t CDeviceSim::GetByKey(const char* key) const {
    auto a = m_keyAddress.find(key);
    if (a == m_keyAddress.end()) return 0;
    return m_registers.at(a->second).value;
}

void CDeviceSim::CopyRegisters(const char* fromKey, const char* toKey, uint16_t count) {
    auto from = m_keyAddress.find(fromKey), to = m_keyAddress.find(toKey);
    if (from == m_keyAddress.end() || to == m_keyAddress.end()) return;
    for (uint16_t k = 0; k < count; ++k) {
        auto src = m_registers.find(static_cast<uint16_t>(from->second + k));
        auto dst = m_registers.find(static_cast<uint16_t>(to->second + k));
        if (src != m_registers.end() && dst != m_registers.end())
            dst->second.value = src->second.value;
    }
}

std::optional<uint16_t> CDeviceSim::Register(uint16_t address) const {
    auto it = m_registers.find(address);
    if (it == m_registers.end()) return std::nullopt;
    return it->second.value;
}

bool CDeviceSim::SetRegister(uint16_t address, uint16_t value) {
    auto it = m_registers.find(address);
    if (it == m_registers.end()) return false;
    it->second.value = value;
    return true;
}

std::vector<std::pair<uint16_t, uint16_t>> CDeviceSim::Image() const {
    std::vector<std::pair<uint16_t, uint16_t>> image;
    image.reserve(m_registers.size());
    for (const auto& [address, reg] : m_registers) image.emplace_back(address, reg.value);
    return image;
}

bool CDeviceSim::TakeChanged() {
    return std::exchange(m_changed, false);
}

void CDeviceSim::ApplySettings() {
    SetByKey("rpanid", GetByKey("panid"));
    SetByKey("rsadrs", GetByKey("sadrs"));
    CopyRegisters("netname", "rnetname", 8);
    // The channel in use: the first one configured, else the lowest the type may use.
    uint16_t channel = 0;
    if (auto a = m_keyAddress.find("ch"); a != m_keyAddress.end()) {
        const ParDefinition* def = m_registers[a->second].def;
        for (uint16_t k = 0; k < 10 && channel == 0; ++k)
            channel = m_registers[static_cast<uint16_t>(a->second + k)].value;
        if (channel == 0 && def) channel = static_cast<uint16_t>(def->minimum & 0xFFFF);
    }
    SetByKey("rch", channel);
}

uint32_t CDeviceSim::Random() {
    // xorshift32: cheap, and the same seed gives the same run.
    m_random ^= m_random << 13;
    m_random ^= m_random >> 17;
    m_random ^= m_random << 5;
    return m_random;
}

void CDeviceSim::Tick(Clock::time_point now) {
    if (m_config.password && !m_locked && m_config.relockAfterSeconds > 0 &&
        now - m_lastActivity >= std::chrono::seconds(m_config.relockAfterSeconds))
        m_locked = true;
    if (now < m_lastTick + std::chrono::seconds(1)) return;
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - m_lastTick);
    m_lastTick += elapsed;
    StepLiveValues(static_cast<uint32_t>(std::min<int64_t>(elapsed.count(), 3600)));
}

void CDeviceSim::StepLiveValues(uint32_t seconds) {
    for (uint32_t s = 0; s < seconds; ++s) {
        ++m_seconds;
        const int16_t rssi = static_cast<int16_t>(GetByKey("rssi"));
        const int step = static_cast<int>(Random() % 7) - 3;
        SetByKey("rssi", static_cast<uint16_t>(std::clamp(rssi + step, -90, -60)));
        SetByKey("actled", m_seconds % 2 ? 2 : 1);
        SetByKey("tx485ok", static_cast<uint16_t>(GetByKey("tx485ok") + 1 + Random() % 3));
        SetByKey("rx485ok", static_cast<uint16_t>(GetByKey("rx485ok") + 1 + Random() % 3));
        if (Random() % 30 == 0)
            SetByKey("rx485err", static_cast<uint16_t>(GetByKey("rx485err") + 1));
    }
    if (m_keyAddress.count("di1")) {
        SetByKey("di1", (m_seconds / 3) % 2);
        SetByKey("di2", (m_seconds / 7) % 2);
    }
    if (m_keyAddress.count("ai1val")) {
        // A slow triangle between the scaled ends of each enabled input.
        const auto analogue = [this](const char* enable, const char* zero, const char* full,
                                     const char* val, const char* inv, uint32_t period) {
            const int lo = static_cast<int16_t>(GetByKey(zero)),
                      hi = static_cast<int16_t>(GetByKey(full));
            const uint32_t phase = m_seconds % period, half = period / 2;
            const int ramp = static_cast<int>(phase < half ? phase : period - phase);
            const int value =
                GetByKey(enable) == 1 ? 0 : lo + (hi - lo) * ramp / static_cast<int>(half);
            SetByKey(val, static_cast<uint16_t>(value));
            SetByKey(inv, lo > hi ? 1 : 0);
        };
        analogue("enable", "zscal", "fscal", "ai1val", "ai1inv", 60);
        analogue("enable2", "zscal2", "fscal2", "ai2val", "ai2inv", 90);
    }
}

std::optional<std::vector<uint8_t>> CDeviceSim::Handle(std::span<const uint8_t> request,
                                                       Clock::time_point now) {
    Tick(now);
    if (request.size() < 2) return std::nullopt;
    const uint8_t unit = request[0], function = request[1];
    if (unit != 0 && unit != m_config.unit) return std::nullopt;
    m_lastActivity = now;

    std::vector<uint8_t> reply;
    if (function != FC_PASSWORD && m_locked)
        reply = ExceptionReply(unit, function, m_config.protectException);
    else if (function == FC_READ)
        reply = ReadRegisters(request);
    else if (function == FC_WRITE)
        reply = WriteRegisters(request);
    else if (function == FC_PASSWORD)
        reply = Authenticate(request);
    else
        reply = ExceptionReply(unit, function, EXC_ILLEGAL_FUNCTION);
    // A broadcast is applied but never answered.
    if (unit == 0) return std::nullopt;
    return reply;
}

std::vector<uint8_t> CDeviceSim::ReadRegisters(std::span<const uint8_t> pdu) {
    const uint8_t unit = pdu[0], function = pdu[1];
    if (pdu.size() != 6) return ExceptionReply(unit, function, EXC_ILLEGAL_VALUE);
    const uint16_t address = Word(pdu, 2), count = Word(pdu, 4);
    if (count < 1 || count > modbus::kMaxReadCount)
        return ExceptionReply(unit, function, EXC_ILLEGAL_VALUE);
    if (address + count > 0x10000) return ExceptionReply(unit, function, EXC_ILLEGAL_ADDRESS);
    std::vector<uint8_t> reply = {unit, function, static_cast<uint8_t>(2 * count)};
    for (uint32_t a = address; a < address + count; ++a) {
        auto it = m_registers.find(static_cast<uint16_t>(a));
        if (it == m_registers.end()) return ExceptionReply(unit, function, EXC_ILLEGAL_ADDRESS);
        // The reset command is an action, not a stored value.
        PutWord(reply, it->second.kind == Kind::Command ? 0 : it->second.value);
    }
    return reply;
}

bool CDeviceSim::ValueAllowed(const Reg& reg, uint16_t value) const {
    if (reg.kind == Kind::Output) return value <= 1;
    if (reg.kind != Kind::Setting || !reg.def) return true;
    const ParDefinition& def = *reg.def;
    switch (def.type) {
        case PAR_UINT16:
        case PAR_HEX16:
        case PAR_LIST16:
            return def.minimum >= def.maximum || (value >= def.minimum && value <= def.maximum);
        case PAR_INT16: {
            const int16_t n = static_cast<int16_t>(value);
            return def.minimum >= def.maximum || (n >= def.minimum && n <= def.maximum);
        }
        case PAR_CHANNELS: {
            const uint16_t lowest = static_cast<uint16_t>(def.minimum & 0xFFFF);
            const uint16_t highest = static_cast<uint16_t>((def.minimum >> 16) & 0xFFFF);
            return value == 0 || (value >= lowest && value <= highest);
        }
        default:
            return true;
    }
}

std::vector<uint8_t> CDeviceSim::WriteRegisters(std::span<const uint8_t> pdu) {
    const uint8_t unit = pdu[0], function = pdu[1];
    const auto w = ParseWrite(pdu);
    if (!w) return ExceptionReply(unit, function, EXC_ILLEGAL_VALUE);
    if (w->address + w->count > 0x10000) return ExceptionReply(unit, function, EXC_ILLEGAL_ADDRESS);

    // Everything is checked before anything is stored: a refused request changes nothing.
    std::optional<uint32_t> command;
    uint16_t commandWords[2] = {0, 0};
    for (uint16_t i = 0; i < w->count; ++i) {
        const uint16_t address = static_cast<uint16_t>(w->address + i);
        auto it = m_registers.find(address);
        if (it == m_registers.end() || !it->second.def)
            return ExceptionReply(unit, function, EXC_ILLEGAL_ADDRESS);
        const Reg& reg = it->second;
        if (reg.kind == Kind::Command) {
            commandWords[reg.word & 1] = w->values[i];
            command = 0;
        } else if (!ValueAllowed(reg, w->values[i])) {
            return ExceptionReply(unit, function, EXC_ILLEGAL_VALUE);
        }
    }
    if (command) {
        command = commandWords[0] | static_cast<uint32_t>(commandWords[1]) << 16;
        if (*command != RESET_NONE && *command != RESET_RESTART && *command != RESET_FACTORY)
            return ExceptionReply(unit, function, EXC_ILLEGAL_VALUE);
    }

    for (uint16_t i = 0; i < w->count; ++i) {
        const uint16_t address = static_cast<uint16_t>(w->address + i);
        Reg& reg = m_registers[address];
        if (reg.kind != Kind::Command && m_config.stuck.count(address) == 0)
            reg.value = w->values[i];
    }
    m_changed = true;
    if (command) RunResetCommand(*command);
    return WriteEcho(pdu);
}

std::vector<uint8_t> CDeviceSim::Authenticate(std::span<const uint8_t> pdu) {
    const uint8_t unit = pdu[0], function = pdu[1];
    const auto w = ParseWrite(pdu);
    if (!w || w->count != 8) return ExceptionReply(unit, function, EXC_ILLEGAL_VALUE);
    if (w->address != 0) return ExceptionReply(unit, function, EXC_ILLEGAL_ADDRESS);
    if (m_config.password &&
        !std::equal(w->values.begin(), w->values.end(), m_config.password->begin()))
        return ExceptionReply(unit, function, m_config.protectException);
    m_locked = false;
    return WriteEcho(pdu);
}

void CDeviceSim::RunResetCommand(uint32_t command) {
    if (command == RESET_FACTORY) {
        for (auto& [address, reg] : m_registers)
            if (reg.kind == Kind::Setting) reg.value = reg.factory;
        Restart();
    } else if (command == RESET_RESTART) {
        Restart();
    }
}

void CDeviceSim::Restart() {
    SetByKey("tx485ok", 0);
    SetByKey("rx485ok", 0);
    SetByKey("rx485err", 0);
    for (auto& [address, reg] : m_registers)
        if (reg.kind == Kind::Output) reg.value = 0;
    m_locked = m_config.password.has_value();
    ApplySettings();
    m_changed = true;
}

}  // namespace devsim
