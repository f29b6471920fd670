#include "model/dev_types.h"

#include <array>
#include <cstring>

namespace {

// Every parameter definition of the catalogue; only "ch" and "txpwr" vary between tables.
constexpr ParDefinition G(const char* key) {
    return {PAR_GROUP, key, 0, 0, 0, 0, 0, nullptr, UNIT_NONE, 0};
}
constexpr ParDefinition P(uint32_t type, const char* key, uint16_t address, int64_t min,
                          int64_t max, int64_t dflt, int32_t decimals, const char* list,
                          uint32_t unit, uint32_t flags) {
    return {type, key, address, min, max, dflt, decimals, list, unit, flags};
}

// Monitor rows.
constexpr ParDefinition devinfo = G("devinfo");
constexpr ParDefinition firmver =
    P(PAR_VERSION, "firmver", 3000, 0, 3, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition serial =
    P(PAR_TEXT, "serial", 3016, 0, 16, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition model = P(PAR_TEXT, "model", 3024, 0, 32, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition nrvlsts = G("nrvlsts");
constexpr ParDefinition nrvlfirmver =
    P(PAR_VERSION_HEX, "nrvlfirmver", 1321, 0, 3, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition mac = P(PAR_MAC64, "mac", 1300, 0, 23, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition rpanid =
    P(PAR_HEX16, "rpanid", 1304, 0, 0, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition rch = P(PAR_INT16, "rch", 1305, 0, 0, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition rsadrs =
    P(PAR_HEX16, "rsadrs", 1306, 0, 0, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition rnetname =
    P(PAR_NAME, "rnetname", 1307, 0, 16, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition actled =
    P(PAR_LIST16, "actled", 1315, 0, 0, 0, 0, "actled", 0, PARF_READONLY);
constexpr ParDefinition lonlyled =
    P(PAR_LIST16, "lonlyled", 1316, 0, 0, 0, 0, "lonlyled", 0, PARF_READONLY);
constexpr ParDefinition rssi =
    P(PAR_INT16, "rssi", 1317, 0, 0, 0, 0, nullptr, UNIT_DBM, PARF_READONLY);
constexpr ParDefinition rs485sts = G("rs485sts");
constexpr ParDefinition tx485ok =
    P(PAR_UINT16, "tx485ok", 1160, 0, 0, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition rx485ok =
    P(PAR_UINT16, "rx485ok", 1161, 0, 0, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition rx485err =
    P(PAR_UINT16, "rx485err", 1162, 0, 0, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition ope = G("ope");
constexpr ParDefinition resetcmd =
    P(PAR_LIST32, "resetcmd", 9000, 0, 0, 0, 0, "resetcmd", 0, PARF_OPERATION);
constexpr ParDefinition diomon = G("diomon");
constexpr ParDefinition di1 = P(PAR_LIST16, "di1", 1000, 0, 0, 0, 0, "onoff", 0, PARF_READONLY);
constexpr ParDefinition di2 = P(PAR_LIST16, "di2", 1001, 0, 0, 0, 0, "onoff", 0, PARF_READONLY);
constexpr ParDefinition do1 = P(PAR_LIST16, "do1", 1002, 0, 0, 0, 0, "onoff", 0, PARF_READONLY);
constexpr ParDefinition do2 = P(PAR_LIST16, "do2", 1003, 0, 0, 0, 0, "onoff", 0, PARF_READONLY);
constexpr ParDefinition do1ch =
    P(PAR_LIST16, "do1ch", 1002, 0, 0, 0, 0, "onoff", 0, PARF_OPERATION);
constexpr ParDefinition do2ch =
    P(PAR_LIST16, "do2ch", 1003, 0, 0, 0, 0, "onoff", 0, PARF_OPERATION);
constexpr ParDefinition aimon = G("aimon");
constexpr ParDefinition ai1val =
    P(PAR_INT16, "ai1val", 1000, 0, 0, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition ai1inv =
    P(PAR_LIST16, "ai1inv", 1002, 0, 0, 0, 0, "aiinv", 0, PARF_READONLY);
constexpr ParDefinition ai2val =
    P(PAR_INT16, "ai2val", 1001, 0, 0, 0, 0, nullptr, 0, PARF_READONLY);
constexpr ParDefinition ai2inv =
    P(PAR_LIST16, "ai2inv", 1003, 0, 0, 0, 0, "aiinv", 0, PARF_READONLY);

// Settings rows.
constexpr ParDefinition rs485 = G("rs485");
constexpr ParDefinition rate = P(PAR_LIST16, "rate", 1150, 0, 3, 0, 0, "rate", 0, 0);
constexpr ParDefinition parity = P(PAR_LIST16, "parity", 1151, 0, 2, 0, 0, "parity", 0, 0);
constexpr ParDefinition stop = P(PAR_LIST16, "stop", 1152, 0, 1, 0, 0, "stop", 0, 0);
constexpr ParDefinition nrvl = G("nrvl");
constexpr ParDefinition panid = P(PAR_HEX16, "panid", 1200, 0, 65534, 0, 0, nullptr, 0, 0);
constexpr ParDefinition Ch(int64_t packedRange) {
    return P(PAR_CHANNELS, "ch", 1201, packedRange, 10, 0, 0, nullptr, 0, 0);
}
constexpr ParDefinition sadrs = P(PAR_HEX16, "sadrs", 1211, 0, 65533, 0, 0, nullptr, 0, 0);
constexpr ParDefinition netname = P(PAR_NAME, "netname", 1213, 0, 16, 0, 0, nullptr, 0, 0);
constexpr ParDefinition enckey = P(PAR_KEY128, "enckey", 1221, 0, 32, 0, 0, nullptr, 0, 0);
constexpr ParDefinition dutytm =
    P(PAR_INT16, "dutytm", 1229, 10, 3600, 600, 0, nullptr, UNIT_SEC, 0);
constexpr ParDefinition Txpwr(int64_t max) {
    return P(PAR_LIST16, "txpwr", 1230, 1, max, 3, 0, "txpwr", 0, 0);
}
constexpr ParDefinition slowmoving =
    P(PAR_LIST16, "slowmoving", 1242, 1, 2, 1, 0, "slowmoving", 0, 0);
constexpr ParDefinition netscale = P(PAR_LIST16, "netscale", 1231, 0, 3, 0, 0, "netscale", 0, 0);
constexpr ParDefinition quality = P(PAR_LIST16, "quality", 1239, 0, 2, 0, 0, "quality", 0, 0);
constexpr ParDefinition joining = P(PAR_LIST16, "joining", 1240, 1, 2, 1, 0, "joining", 0, 0);
constexpr ParDefinition fixroute = P(PAR_LIST16, "fixroute", 1232, 0, 1, 0, 0, "fixroute", 0, 0);
constexpr ParDefinition detoadrs = P(PAR_HEX16, "detoadrs", 1233, 0, 65533, 0, 0, nullptr, 0, 0);
constexpr ParDefinition detoflg = P(PAR_LIST16, "detoflg", 1234, 0, 1, 1, 0, "detoflg", 0, 0);
constexpr ParDefinition netfilter = P(PAR_LIST16, "netfilter", 1235, 0, 1, 1, 0, "netfilter", 0, 0);
constexpr ParDefinition netfiltertm =
    P(PAR_INT16, "netfiltertm", 1236, 10, 600, 10, 1, nullptr, UNIT_SEC, 0);
constexpr ParDefinition runtm = P(PAR_INT16, "runtm", 1237, 10, 600, 30, 1, nullptr, UNIT_SEC, 0);
constexpr ParDefinition nadrs = P(PAR_INT16, "nadrs", 1238, 1, 247, 1, 0, nullptr, 0, 0);
constexpr ParDefinition routeretry =
    P(PAR_LIST16, "routeretry", 1241, 1, 3, 3, 0, "routeretry", 0, 0);
constexpr ParDefinition dos = G("dos");
constexpr ParDefinition dotm = P(PAR_LIST16, "dotm", 1130, 0, 1, 0, 0, "dotm", 0, 0);
constexpr ParDefinition ai1 = G("ai1");
constexpr ParDefinition enable = P(PAR_LIST16, "enable", 1120, 0, 1, 0, 0, "enable", 0, 0);
constexpr ParDefinition zinp =
    P(PAR_INT16, "zinp", 1100, 4000, 20000, 4000, 3, nullptr, UNIT_MA, 0);
constexpr ParDefinition finp =
    P(PAR_INT16, "finp", 1101, 4000, 20000, 20000, 3, nullptr, UNIT_MA, 0);
constexpr ParDefinition zadj = P(PAR_INT16, "zadj", 1102, -500, 500, 0, 2, nullptr, UNIT_PERC, 0);
constexpr ParDefinition gadj = P(PAR_INT16, "gadj", 1103, 9500, 10500, 10000, 4, nullptr, 0, 0);
constexpr ParDefinition zscal = P(PAR_INT16, "zscal", 1104, -32000, 32000, 0, 0, nullptr, 0, 0);
constexpr ParDefinition fscal = P(PAR_INT16, "fscal", 1105, -32000, 32000, 10000, 0, nullptr, 0, 0);
constexpr ParDefinition filter = P(PAR_INT16, "filter", 1106, 0, 600, 0, 1, nullptr, UNIT_SEC, 0);
constexpr ParDefinition ai2 = G("ai2");
constexpr ParDefinition enable2 = P(PAR_LIST16, "enable2", 1130, 0, 1, 0, 0, "enable", 0, 0);
constexpr ParDefinition zinp2 =
    P(PAR_INT16, "zinp2", 1107, 4000, 20000, 4000, 3, nullptr, UNIT_MA, 0);
constexpr ParDefinition finp2 =
    P(PAR_INT16, "finp2", 1108, 4000, 20000, 20000, 3, nullptr, UNIT_MA, 0);
constexpr ParDefinition zadj2 = P(PAR_INT16, "zadj2", 1109, -500, 500, 0, 2, nullptr, UNIT_PERC, 0);
constexpr ParDefinition gadj2 = P(PAR_INT16, "gadj2", 1110, 9500, 10500, 10000, 4, nullptr, 0, 0);
constexpr ParDefinition zscal2 = P(PAR_INT16, "zscal2", 1111, -32000, 32000, 0, 0, nullptr, 0, 0);
constexpr ParDefinition fscal2 =
    P(PAR_INT16, "fscal2", 1112, -32000, 32000, 10000, 0, nullptr, 0, 0);
constexpr ParDefinition filter2 = P(PAR_INT16, "filter2", 1113, 0, 600, 0, 1, nullptr, UNIT_SEC, 0);

constexpr int64_t kChannels1to43 = (43 << 16) | 1;  // 2818049
constexpr int64_t kChannels1to8 = (8 << 16) | 1;    // 524289
constexpr int64_t kChannels2to7 = (7 << 16) | 2;    // 458754
constexpr int64_t kChannels1to14 = (14 << 16) | 1;  // 917505

// Monitor tables.
#define MONITOR_HEAD                                                                           \
    devinfo, firmver, serial, model, nrvlsts, nrvlfirmver, mac, rpanid, rch, rsadrs, rnetname, \
        actled, lonlyled, rssi
constexpr ParDefinition kMKT5[] = {MONITOR_HEAD, rs485sts, tx485ok, rx485ok,
                                   rx485err,     ope,      resetcmd};
constexpr ParDefinition kMT5PLX4M[] = {MONITOR_HEAD, diomon, di1,   di2,   do1,
                                       do2,          ope,    do1ch, do2ch, resetcmd};
constexpr ParDefinition kMT5SQ7[] = {MONITOR_HEAD, aimon,  ai1val, ai1inv,
                                     ai2val,       ai2inv, ope,    resetcmd};
#undef MONITOR_HEAD

// Settings tables.
#define RS485_GROUP rs485, rate, parity, stop
#define RADIO_HEAD(chRange) nrvl, panid, Ch(chRange), sadrs, netname, enckey
#define RADIO_TAIL(txMax)                                                                         \
    Txpwr(txMax), slowmoving, netscale, quality, joining, fixroute, detoadrs, detoflg, netfilter, \
        netfiltertm, runtm, routeretry
#define AI_GROUPS                                                                                 \
    ai1, enable, zinp, finp, zadj, gadj, zscal, fscal, filter, ai2, enable2, zinp2, finp2, zadj2, \
        gadj2, zscal2, fscal2, filter2
constexpr ParDefinition kKT5_2[] = {RS485_GROUP, RADIO_HEAD(kChannels1to43), RADIO_TAIL(3)};
constexpr ParDefinition kKT5QA[] = {RS485_GROUP, RADIO_HEAD(kChannels1to8), RADIO_TAIL(3)};
constexpr ParDefinition kKT5QB[] = {RS485_GROUP, RADIO_HEAD(kChannels1to8), dutytm, RADIO_TAIL(3)};
constexpr ParDefinition kKT5QC[] = {RS485_GROUP, RADIO_HEAD(kChannels2to7), dutytm, RADIO_TAIL(3)};
constexpr ParDefinition kKT5QD[] = {RS485_GROUP, RADIO_HEAD(kChannels1to14), RADIO_TAIL(4)};
constexpr ParDefinition kT5PLX4M_2[] = {dos, dotm, RADIO_HEAD(kChannels1to43), RADIO_TAIL(3),
                                        nadrs};
constexpr ParDefinition kT5SQ7_2[] = {AI_GROUPS, RADIO_HEAD(kChannels1to43), RADIO_TAIL(3), nadrs};
#undef RS485_GROUP
#undef RADIO_HEAD
#undef RADIO_TAIL
#undef AI_GROUPS

template <typename T>
std::unique_ptr<CDevInterface> Make() {
    return std::make_unique<T>();
}

constexpr uint32_t kAnyVersionMax = 0xFFFFFFFFu;

const DevTypeEntry kDevTypes[] = {
    {"RB16KT5_2", 20242, 0, kAnyVersionMax, {&Make<CDevKT5_2>, &Make<CDevMKT5>}},
    {"RB16T5-PLX4M_2", 20244, 0, kAnyVersionMax, {&Make<CDevT5PLX4M_2>, &Make<CDevMT5PLX4M>}},
    {"RB16T5-SQ7_2", 20243, 0, kAnyVersionMax, {&Make<CDevT5SQ7_2>, &Make<CDevMT5SQ7>}},
    {"RB16KT5QA", 18962, 0, kAnyVersionMax, {&Make<CDevKT5QA>, &Make<CDevMKT5QA>}},
    {"RB16KT5QB", 19218, 0, kAnyVersionMax, {&Make<CDevKT5QB>, &Make<CDevMKT5QA>}},
    {"RB16KT5QC", 19474, 0, kAnyVersionMax, {&Make<CDevKT5QC>, &Make<CDevMKT5QA>}},
    {"RB16KT5QD", 19730, 0, kAnyVersionMax, {&Make<CDevKT5QD>, &Make<CDevMKT5QA>}},
};

// Whether any of the channel registers holds one of the channels 1 to 7.
bool UsesLowChannel(const CParInterface& ch) {
    for (uint16_t w : ch.Value().Words())
        if (w >= 1 && w <= 7) return true;
    return false;
}

}  // namespace

// ---- CDevType ----

int CDevType::EntryCount() {
    return static_cast<int>(std::size(kDevTypes));
}

const DevTypeEntry& CDevType::Entry(int index) {
    return kDevTypes[index];
}

int CDevType::FindEntry(uint16_t typeCode, uint32_t version) const {
    for (int i = 0; i < EntryCount(); ++i) {
        const DevTypeEntry& e = kDevTypes[i];
        if (e.typeCode == typeCode && e.versionMin <= version && version <= e.versionMax) return i;
    }
    return -1;
}

std::unique_ptr<CDevInterface> CDevType::Create(int entry, uint32_t version, int factory) const {
    if (entry < 0 || entry >= EntryCount() || factory < 0 || factory > 1) return nullptr;
    const DevTypeEntry& e = kDevTypes[entry];
    std::unique_ptr<CDevInterface> object = e.factories[static_cast<size_t>(factory)]();
    if (object)
        object->SetIdentity(e.typeCode, version == 0 ? 65536 : version, e.versionMin, e.versionMax);
    return object;
}

std::unique_ptr<CDevInterface> CDevType::CreateFor(uint16_t typeCode, uint32_t version,
                                                   int factory) const {
    int entry = FindEntry(typeCode, version);
    return entry < 0 ? nullptr : Create(entry, version, factory);
}

std::string CDevType::LongName(int entry) const {
    if (entry < 0 || entry >= EntryCount()) return {};
    return g_resources.GetParameterText(kDevTypes[entry].modelCode, "lname");
}

int CDevType::FindModel(std::string_view modelCode) {
    for (int i = 0; i < EntryCount(); ++i)
        if (modelCode == kDevTypes[i].modelCode) return i;
    return -1;
}

// ---- settings models ----

bool CDevSettingsCommon::ApplyCommonRules(int index) {
    if (Is(index, "fixroute") && ValueOf("fixroute") == 0) {
        Find("detoadrs").SetNumber(0);
        Find("detoflg").SetNumber(1);
    } else if (Is(index, "netfilter") && ValueOf("netfilter") == 0) {
        Find("netfiltertm").SetNumber(10);
    } else if (Is(index, "slowmoving") && ValueOf("slowmoving") == 2) {
        Find("netscale").SetNumber(3);
        Find("joining").SetNumber(1);
    } else if (Is(index, "netscale") && ValueOf("netscale") == 3) {
        Find("joining").SetNumber(1);
    } else {
        return false;
    }
    return true;
}

void CDevSettingsCommon::OnChanged(int index) {
    ApplyCommonRules(index);
}

bool CDevSettingsCommon::CommonLock(int index) const {
    if ((Is(index, "detoadrs") || Is(index, "detoflg")) && ValueOf("fixroute") == 0) return true;
    if (Is(index, "netfiltertm") && ValueOf("netfilter") == 0) return true;
    if (Is(index, "netscale") && ValueOf("slowmoving") == 2) return true;
    if (Is(index, "joining") && ValueOf("netscale") == 3) return true;
    return CDevInterface::IsLocked(index);
}

bool CDevSettingsCommon::IsLocked(int index) const {
    return CommonLock(index);
}

CDevKT5_2::CDevKT5_2() {
    Build("RB16KT5_2", kKT5_2);
}
CDevKT5QA::CDevKT5QA() {
    Build("RB16KT5QA", kKT5QA);
}
CDevKT5QB::CDevKT5QB() {
    Build("RB16KT5QB", kKT5QB);
}
CDevKT5QC::CDevKT5QC() {
    Build("RB16KT5QC", kKT5QC);
}
CDevKT5QD::CDevKT5QD() {
    Build("RB16KT5QD", kKT5QD);
}
CDevT5PLX4M_2::CDevT5PLX4M_2() {
    Build("RB16T5-PLX4M_2", kT5PLX4M_2);
}
CDevT5SQ7_2::CDevT5SQ7_2() {
    Build("RB16T5-SQ7_2", kT5SQ7_2);
}

void CDevKT5QD::OnChanged(int index) {
    if (ApplyCommonRules(index)) return;
    if ((Is(index, "ch") || Is(index, "txpwr")) && UsesLowChannel(Find("ch")) &&
        ValueOf("txpwr") == 4) {
        ShowUserNotice(g_resources.GetParameterText("RB16KT5QD", "txlimit"));
        Find("txpwr").SetNumber(3);
    }
}

void CDevT5SQ7_2::OnChanged(int index) {
    auto tie = [&](const char* zero, const char* full) {
        if (Is(index, zero)) {
            CParInterface& f = Find(full);
            f.SetMinimum(static_cast<int16_t>(ValueOf(zero)));
            f.SetMaximum(20000);
        } else if (Is(index, full)) {
            CParInterface& z = Find(zero);
            z.SetMinimum(4000);
            z.SetMaximum(static_cast<int16_t>(ValueOf(full)));
        }
    };
    tie("zinp", "finp");
    tie("zinp2", "finp2");
    ApplyCommonRules(index);
}

bool CDevT5SQ7_2::IsLocked(int index) const {
    if ((Is(index, "detoadrs") || Is(index, "detoflg")) && ValueOf("fixroute") == 0) return true;
    static const char* const kInput1[] = {"zinp",  "finp",  "zadj",  "gadj",
                                          "zscal", "fscal", "filter"};
    static const char* const kInput2[] = {"zinp2",  "finp2",  "zadj2",  "gadj2",
                                          "zscal2", "fscal2", "filter2"};
    for (const char* key : kInput1)
        if (Is(index, key) && ValueOf("enable") == 1) return true;
    for (const char* key : kInput2)
        if (Is(index, key) && ValueOf("enable2") == 1) return true;
    return CommonLock(index);
}

// ---- monitor models ----

std::string CDevMonitorCommon::AdjustText(int index, const std::string& text) const {
    auto allZero = [&](const char* key) {
        for (uint16_t w : Find(key).Value().Words())
            if (w) return false;
        return true;
    };
    if (Is(index, "nrvlfirmver") && allZero("nrvlfirmver")) return {};
    if (Is(index, "mac") && allZero("mac")) return {};
    if ((Is(index, "rpanid") || Is(index, "rch") || Is(index, "rsadrs")) &&
        At(index).Value().Word(0) == 0)
        return {};
    if (Is(index, "rssi") && static_cast<int16_t>(ValueOf("rssi")) <= -104)
        return g_resources.GetParameterText(m_textSection, "outnrvl");
    return text;
}

CDevMKT5::CDevMKT5() : CDevMonitorCommon("RB16KT5_2") {
    Build("RB16KT5_2", kMKT5);
}
CDevMKT5QA::CDevMKT5QA() : CDevMonitorCommon("RB16KT5_2") {
    Build("RB16KT5QA", kMKT5);
}
CDevMT5PLX4M::CDevMT5PLX4M() : CDevMonitorCommon("RB16T5-PLX4M_2") {
    Build("RB16T5-PLX4M_2", kMT5PLX4M);
}
CDevMT5SQ7::CDevMT5SQ7() : CDevMonitorCommon("RB16T5-SQ7_2") {
    Build("RB16T5-SQ7_2", kMT5SQ7);
}
