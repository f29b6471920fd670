// Settings that persist between runs, per user: the connection settings and the language choice.
// Stored with QSettings in INI format under organisation "KOVALTRA", application = the
// executable's file name (~/.config/KOVALTRA/NORVELCO.conf for the desktop program).
#pragma once

#include <array>
#include <cstdint>
#include <string>

// The default Modbus/TCP server: a private-network address, never contacted by tests.
inline constexpr const char* kDefaultServerAddress = "192.168.1.100";

// Parity codes as the serial layer takes them.
enum ParityCode : int {
    PARITY_NONE = 0,
    PARITY_ODD = 1,
    PARITY_EVEN = 2,
    PARITY_MARK = 3,
    PARITY_SPACE = 4
};
// Stop-bit codes as the serial layer takes them.
enum StopBitsCode : int { STOPBITS_ONE = 0, STOPBITS_TWO = 2 };

using MacAddress = std::array<uint8_t, 6>;
// "00:11:22:33:44:55" (lower-case hex) and back; a malformed text gives all zeros.
std::string MacToText(const MacAddress& mac);
MacAddress MacFromText(const std::string& text);

struct ComSettings {
    int32_t Mode = 0;
    int32_t Address = 1;
    int32_t COMPort = 0;
    std::string COMPortName;
    std::string COMPortDisplayName;
    std::string IRCOMPortName;
    std::string IRCOMPortDisplayName;
    int32_t Baudrate = 5;
    int32_t Character = 0;
    int32_t Parity = 1;
    int32_t Stop = 0;
    std::string ServerAddress = kDefaultServerAddress;
    std::string ServicePort = "502";
    MacAddress TargetMac{};  // broadcast mode only
    MacAddress SourceMac{};

    // Reads every value with its default ("Character" is not read: it stays 0).
    void Load();
    // Writes every value of the section, "Character" included.
    void Save() const;

    int BaudRate() const;  // 1200..38400 from the index; 1200 for any other index
    int DataBits() const;  // 7 or 8; 7 for any other index
    int StopBits() const;  // STOPBITS_ONE or STOPBITS_TWO
    int ParityCode() const { return Parity; }
    int PortNumber() const { return COMPort + 1; }

    // A record with every default, read from the store.
    static ComSettings Loaded() {
        ComSettings s;
        s.Load();
        return s;
    }
};

class CAppSettings {
public:
    virtual ~CAppSettings() = default;
    void Load();  // an empty or missing value becomes "English.lng"
    void Save() const;
    void SetLanguageFile(const std::string& name) { m_languageFile = name; }
    std::string GetLanguageFile() const { return m_languageFile; }
    // Whether a download reads back what it wrote ("VerifyAfterDownload", on unless set to 0).
    void SetVerifyAfterDownload(bool on) { m_verifyAfterDownload = on; }
    bool GetVerifyAfterDownload() const { return m_verifyAfterDownload; }

private:
    std::string m_languageFile;
    bool m_verifyAfterDownload = true;
};

// Where the settings live: by default the per-user QSettings INI store of the running
// program. Tests point it at a file of their own so that they never touch the user's settings.
void SetSettingsFile(const std::string& iniPath);
std::string SettingsFile();

// One number of the "Settings" section that remembers how the user left a window (the monitor's
// chart shown, its time window); a missing or non-numeric value gives def.
int32_t LoadPreference(const char* name, int32_t def);
void SavePreference(const char* name, int32_t value);
// One text of the same section (the folder the file dialogs last used); missing gives def.
std::string LoadPreferenceText(const char* name, const std::string& def);
void SavePreferenceText(const char* name, const std::string& value);
