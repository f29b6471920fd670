#include "app/settings.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

std::mutex g_fileMutex;
std::string g_settingsFile;  // empty: the per-user store of the running program

constexpr const char* kOrganisation = "KOVALTRA";
constexpr const char* kDefaultLanguage = "English.lng";

std::string ExecutableName() {
    if (QCoreApplication::instance())
        return QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return NORVELCO_PRODUCT_NAME;
    std::string path(buf, static_cast<size_t>(n));
    // The kernel marks a replaced executable; the settings belong to its original name.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
    return path.substr(path.rfind('/') + 1);
}

std::unique_ptr<QSettings> OpenStore(const char* section) {
    std::string file = SettingsFile();
    auto store =
        file.empty()
            ? std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, kOrganisation,
                                          QString::fromStdString(ExecutableName()))
            : std::make_unique<QSettings>(QString::fromStdString(file), QSettings::IniFormat);
    store->beginGroup(section);
    return store;
}

int32_t ReadInt(const QSettings& s, const char* name, int32_t def) {
    bool ok = false;
    int value = s.value(name).toInt(&ok);
    return ok ? value : def;  // a missing or non-numeric value gives the default
}

std::string ReadString(const QSettings& s, const char* name, const std::string& def) {
    QVariant v = s.value(name);
    if (!v.isValid()) return def;
    // A hand-edited INI text with an unquoted comma reads back as a list.
    if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(", ").toStdString();
    return v.toString().toStdString();
}

void WriteString(QSettings& s, const char* name, const std::string& value) {
    s.setValue(name, QString::fromStdString(value));
}

}  // namespace

void SetSettingsFile(const std::string& iniPath) {
    std::lock_guard lock(g_fileMutex);
    g_settingsFile = iniPath;
}

std::string SettingsFile() {
    std::lock_guard lock(g_fileMutex);
    return g_settingsFile;
}

std::string MacToText(const MacAddress& mac) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return buf;
}

MacAddress MacFromText(const std::string& text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    MacAddress mac{};
    if (text.size() != 17) return MacAddress{};
    for (size_t i = 0; i < 6; ++i) {
        int hi = hex(text[i * 3]), lo = hex(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':')) return MacAddress{};
        mac[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return mac;
}

void ComSettings::Load() {
    auto s = OpenStore("ComSettings");
    Address = ReadInt(*s, "Address", 1);
    COMPort = ReadInt(*s, "COMPort", 0);
    COMPortName = ReadString(*s, "COMPortName", "");
    COMPortDisplayName = ReadString(*s, "COMPortDisplayName", "");
    IRCOMPortName = ReadString(*s, "IRCOMPortName", "");
    IRCOMPortDisplayName = ReadString(*s, "IRCOMPortDisplayName", "");
    Baudrate = ReadInt(*s, "Baudrate", 5);
    Character = 0;  // never read back: every serial connection sets it explicitly
    Parity = ReadInt(*s, "Parity", 1);
    Stop = ReadInt(*s, "Stop", 0);
    Mode = ReadInt(*s, "Mode", 0);
    ServerAddress = ReadString(*s, "ServerAddress", kDefaultServerAddress);
    ServicePort = ReadString(*s, "ServicePort", "502");
    TargetMac = MacFromText(ReadString(*s, "TargetMac", ""));
    SourceMac = MacFromText(ReadString(*s, "SourceMac", ""));
}

void ComSettings::Save() const {
    auto s = OpenStore("ComSettings");
    s->setValue("Address", Address);
    s->setValue("COMPort", COMPort);
    WriteString(*s, "COMPortName", COMPortName);
    WriteString(*s, "COMPortDisplayName", COMPortDisplayName);
    WriteString(*s, "IRCOMPortName", IRCOMPortName);
    WriteString(*s, "IRCOMPortDisplayName", IRCOMPortDisplayName);
    s->setValue("Baudrate", Baudrate);
    s->setValue("Character", Character);
    s->setValue("Parity", Parity);
    s->setValue("Stop", Stop);
    s->setValue("Mode", Mode);
    WriteString(*s, "ServerAddress", ServerAddress);
    WriteString(*s, "ServicePort", ServicePort);
    WriteString(*s, "TargetMac", MacToText(TargetMac));
    WriteString(*s, "SourceMac", MacToText(SourceMac));
}

int ComSettings::BaudRate() const {
    static constexpr int kRates[] = {1200, 2400, 4800, 9600, 19200, 38400};
    return Baudrate >= 0 && Baudrate < 6 ? kRates[Baudrate] : 1200;
}

int ComSettings::DataBits() const {
    return Character == 1 ? 8 : 7;
}

int ComSettings::StopBits() const {
    return Stop == 1 ? STOPBITS_TWO : STOPBITS_ONE;
}

void CAppSettings::Load() {
    auto s = OpenStore("Settings");
    m_languageFile = ReadString(*s, "DisplayLanguage", "");
    if (m_languageFile.empty()) m_languageFile = kDefaultLanguage;
    m_verifyAfterDownload = ReadInt(*s, "VerifyAfterDownload", 1) != 0;
}

void CAppSettings::Save() const {
    auto s = OpenStore("Settings");
    WriteString(*s, "DisplayLanguage", m_languageFile);
    s->setValue("VerifyAfterDownload", m_verifyAfterDownload ? 1 : 0);
}

int32_t LoadPreference(const char* name, int32_t def) {
    auto s = OpenStore("Settings");
    return ReadInt(*s, name, def);
}

void SavePreference(const char* name, int32_t value) {
    auto s = OpenStore("Settings");
    s->setValue(name, value);
}

std::string LoadPreferenceText(const char* name, const std::string& def) {
    auto s = OpenStore("Settings");
    return ReadString(*s, name, def);
}

void SavePreferenceText(const char* name, const std::string& value) {
    auto s = OpenStore("Settings");
    WriteString(*s, name, value);
}
