// The simulated device: the register map of one catalogue type with its defaults, live status
// values, the reset command, password protection, and the answer to each Modbus request. Free of
// any port, so that tests drive it with request frames directly.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/par_definition.h"

namespace devsim {

using Clock = std::chrono::steady_clock;

// Modbus exception codes the simulator answers.
constexpr uint8_t EXC_ILLEGAL_FUNCTION = 1;
constexpr uint8_t EXC_ILLEGAL_ADDRESS = 2;
constexpr uint8_t EXC_ILLEGAL_VALUE = 3;
constexpr uint8_t EXC_PROTECTED = 20;
constexpr uint8_t EXC_PROTECTED_ALT = 21;

// Values of the reset command register pair (9000, low word first).
constexpr uint32_t RESET_NONE = 0;
constexpr uint32_t RESET_RESTART = 42405;
constexpr uint32_t RESET_FACTORY = 23130;

constexpr uint16_t REG_FIRMWARE_MAJOR = 3000;
constexpr uint16_t REG_FIRMWARE_MINOR = 3001;
constexpr uint16_t REG_FIRMWARE_THIRD = 3002;
constexpr uint16_t REG_TYPE_CODE = 3003;
constexpr uint16_t REG_RESET_COMMAND = 9000;

using PasswordWords = std::array<uint16_t, 8>;

// The eight registers a password travels in, packed as the Configurator's password window packs
// them; nothing when the window would refuse the text (empty, over 16 characters, or a character
// above U+00FF).
std::optional<PasswordWords> PackPassword(std::string_view utf8);

struct SimConfig {
    int entry = 0;  // index in the device-type table
    std::array<uint16_t, 3> firmware = {1, 0, 0};
    uint8_t unit = 1;
    std::string serialNumber = "SIM00000001";
    std::optional<PasswordWords> password;
    uint8_t protectException = EXC_PROTECTED;
    uint32_t relockAfterSeconds = 0;  // 0: stays unlocked until a restart
    uint32_t seed = 1;                // of the live values, so that runs repeat
    // Registers that accept writes but keep their value, as a faulty device would.
    std::set<uint16_t> stuck;
};

class CDeviceSim {
public:
    explicit CDeviceSim(const SimConfig& config, Clock::time_point now = Clock::now());
    ~CDeviceSim();
    CDeviceSim(const CDeviceSim&) = delete;
    CDeviceSim& operator=(const CDeviceSim&) = delete;

    // One request data unit (unit identifier first, checksum removed): the reply data unit, or
    // nothing when no reply is due (another unit, a broadcast).
    std::optional<std::vector<uint8_t>> Handle(std::span<const uint8_t> request,
                                               Clock::time_point now);
    // Brings the live status values up to now; they change once per elapsed second.
    void Tick(Clock::time_point now);

    const SimConfig& Config() const { return m_config; }
    const char* ModelCode() const;
    uint16_t TypeCode() const;
    bool Locked() const { return m_locked; }

    bool HasRegister(uint16_t address) const { return m_registers.count(address) != 0; }
    std::optional<uint16_t> Register(uint16_t address) const;
    // Sets a register of the map directly (image files); false when the map has no such register.
    bool SetRegister(uint16_t address, uint16_t value);
    // Every register of the map in address order.
    std::vector<std::pair<uint16_t, uint16_t>> Image() const;
    // Whether a request changed the stored registers since the last call (for the image dump).
    bool TakeChanged();
    // Takes the stored settings into use, as the device does when it starts: the radio link
    // status shows the configured network.
    void ApplySettings();

private:
    enum class Kind : uint8_t { Identification, Setting, Status, Output, Command };
    struct Reg {
        uint16_t value = 0;
        uint16_t factory = 0;
        Kind kind = Kind::Status;
        const ParDefinition* def = nullptr;  // the writable row when there is one
        uint16_t word = 0;                   // position inside that row's registers
    };

    void AddModelRegisters(int factory);
    void SetByKey(const char* key, uint16_t value);
    uint16_t GetByKey(const char* key) const;
    void CopyRegisters(const char* fromKey, const char* toKey, uint16_t count);

    std::vector<uint8_t> ReadRegisters(std::span<const uint8_t> request);
    std::vector<uint8_t> WriteRegisters(std::span<const uint8_t> request);
    std::vector<uint8_t> Authenticate(std::span<const uint8_t> request);
    bool ValueAllowed(const Reg& reg, uint16_t value) const;
    void RunResetCommand(uint32_t command);
    void Restart();
    void StepLiveValues(uint32_t seconds);
    uint32_t Random();

    SimConfig m_config;
    std::map<uint16_t, Reg> m_registers;
    std::map<std::string, uint16_t, std::less<>> m_keyAddress;  // first register of each row
    bool m_locked = false;
    bool m_changed = false;
    Clock::time_point m_lastActivity;
    Clock::time_point m_lastTick;
    uint32_t m_random;
    uint32_t m_seconds = 0;
};

// The reply data unit of an exception: unit, function | 0x80, code.
std::vector<uint8_t> ExceptionReply(uint8_t unit, uint8_t function, uint8_t code);

}  // namespace devsim
