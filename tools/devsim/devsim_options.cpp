#include "tools/devsim/devsim_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "app/private_exception.h"
#include "model/dev_types.h"
#include "platform/text.h"

namespace devsim {
namespace {

[[noreturn]] void Fail(std::string message) {
    throw UsageError{std::move(message)};
}

// A whole decimal number within [min, max]; nothing for anything else.
std::optional<int64_t> ParseInt(std::string_view text, int64_t min, int64_t max) {
    int64_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.empty()) return std::nullopt;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || value < min || value > max) return std::nullopt;
    return value;
}

int64_t NumberOption(const std::string& name, const std::string& value, int64_t min, int64_t max) {
    auto n = ParseInt(value, min, max);
    if (!n)
        Fail(platform::FormatC("%s needs a whole number from %lld to %lld, not \"%s\"",
                               name.c_str(), static_cast<long long>(min),
                               static_cast<long long>(max), value.c_str()));
    return *n;
}

// A register value: 0..65535, 0x0000..0xFFFF, or -32768..-1 as its two's complement.
std::optional<uint16_t> ParseWord(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        uint32_t v = 0;
        auto [end, ec] = std::from_chars(text.data() + 2, text.data() + text.size(), v, 16);
        if (ec != std::errc() || end != text.data() + text.size() || v > 0xFFFF)
            return std::nullopt;
        return static_cast<uint16_t>(v);
    }
    auto v = ParseInt(text, -32768, 65535);
    if (!v) return std::nullopt;
    return static_cast<uint16_t>(*v);
}

int FindType(const std::string& text) {
    if (auto code = ParseInt(text, 0, 65535)) {
        const int entry = CDevType().FindEntry(static_cast<uint16_t>(*code), 65536);
        if (entry >= 0) return entry;
    }
    int entry = CDevType::FindModel(text);
    for (int i = 0; entry < 0 && i < CDevType::EntryCount(); ++i) {
        const std::string_view code = CDevType::Entry(i).modelCode;
        if (code.size() == text.size() &&
            std::equal(code.begin(), code.end(), text.begin(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            entry = i;
    }
    if (entry < 0) {
        std::string known;
        for (int i = 0; i < CDevType::EntryCount(); ++i)
            known += platform::FormatC("%s%s (%u)", i ? ", " : "", CDevType::Entry(i).modelCode,
                                       CDevType::Entry(i).typeCode);
        Fail("unknown device type \"" + text + "\"; known types: " + known);
    }
    return entry;
}

std::array<uint16_t, 3> ParseFirmware(const std::string& text) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t dot = text.find('.', start);
        parts.push_back(std::string_view(text).substr(
            start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    std::array<uint16_t, 3> version = {0, 0, 0};
    const bool shapeOk = parts.size() == 2 || parts.size() == 3;
    for (size_t k = 0; shapeOk && k < parts.size(); ++k) {
        auto v = ParseInt(parts[k], 0, 65535);
        if (!v) break;
        version[k] = static_cast<uint16_t>(*v);
        if (k + 1 == parts.size()) return version;
    }
    Fail("--firmware needs MAJOR.MINOR.THIRD, each 0 to 65535, not \"" + text + "\"");
}

// HOST:PORT, HOST alone (the default port) or :PORT (the loopback address).
void ParseTcpAddress(const std::string& text, NetOptions& net) {
    const size_t colon = text.rfind(':');
    std::string host = text.substr(0, colon);
    if (colon != std::string::npos && colon + 1 < text.size()) {
        const auto port = ParseInt(std::string_view(text).substr(colon + 1), 0, 65535);
        if (!port) Fail("--tcp needs HOST:PORT with a port from 0 to 65535, not \"" + text + "\"");
        net.tcpPort = static_cast<uint16_t>(*port);
    }
    if (!host.empty()) net.tcpHost = host;
    net.tcp = true;
}

// "1200,1211": register addresses separated by commas.
std::set<uint16_t> ParseAddressList(const std::string& name, const std::string& text) {
    std::set<uint16_t> addresses;
    size_t start = 0;
    while (true) {
        const size_t comma = std::min(text.find(',', start), text.size());
        addresses.insert(
            static_cast<uint16_t>(NumberOption(name, text.substr(start, comma - start), 0, 65535)));
        if (comma == text.size()) return addresses;
        start = comma + 1;
    }
}

mode_t CurrentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

}  // namespace

const char* UsageText() {
    return "usage: norvelco-devsim [options]\n"
           "A simulated device on a pseudo-terminal (or on the network, below). Prints\n"
           "\"PORT <path>\" and \"LINK <path>\", "
           "then\n"
           "serves Modbus requests until SIGINT or SIGTERM.\n"
           "  --type MODEL-CODE|TYPE-CODE   device type (default RB16KT5_2 / 20242)\n"
           "  --firmware MAJOR.MINOR.THIRD  firmware version (default 1.0.0)\n"
           "  --framing rtu|ascii           Modbus framing (default rtu)\n"
           "  --unit N                      unit identifier 1..247 (default 1)\n"
           "  --link PATH                   link name in the ports folder, or an absolute path\n"
           "  --image FILE                  load \"address value\" lines over the defaults\n"
           "  --dump FILE                   rewrite the register image after every write and at "
           "exit\n"
           "  --serial TEXT                 serial number text (up to 16 bytes)\n"
           "  --password TEXT               protect the device with this password (up to 16 "
           "characters)\n"
           "  --protect-exception 20|21     exception code while protected (default 20)\n"
           "  --relock-after SECONDS        lock again after this idle time (default 0: never)\n"
           "  --silent                      never answer\n"
           "  --drop-every N                lose every Nth reply\n"
           "  --corrupt-every N             send every Nth reply with a wrong checksum\n"
           "  --exception CODE              refuse every request with this exception code\n"
           "  --delay-ms N                  wait N ms before each reply\n"
           "  --pace BAUD                   take requests and send replies at this line rate\n"
           "                                (11 bits per character)\n"
           "  --stuck ADDR[,ADDR...]        these registers accept writes but keep their value\n"
           "  --seed N                      seed of the live values (default 1)\n"
           "Network (with --tcp or --udp the device serves only the network, no pseudo-terminal;\n"
           "prints \"TCP <address>:<port>\" and \"UDP <port>\" once it listens):\n"
           "  --tcp HOST[:PORT] | :PORT     serve Modbus/TCP (default 127.0.0.1:1502; port 0: any "
           "free port)\n"
           "  --split-reply N               send each Modbus/TCP reply in N segments\n"
           "  --udp                         serve the MAC-addressed broadcast mode on UDP port "
           "502\n"
           "  --udp-port N                  another UDP port (tests without privileges; 0: any "
           "free port)\n"
           "  --mac XX:XX:XX:XX:XX:XX       the device's MAC address (default 02:00:00:00:00:01)\n"
           "  --any-mac                     answer requests for any MAC address, with our own\n"
           "  --echo-requests               send each request back to its sender before the reply\n"
           "  --broadcast-replies           answer to the broadcast address, not to the sender\n"
           "  --silent, --drop-every, --exception and --delay-ms apply to the network as well;\n"
           "  --corrupt-every only to the serial line (the network frames carry no checksum)\n"
           "  --verbose                     log every request and reply on stderr\n"
           "  --help                        this text\n";
}

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        const auto flag = [&] {
            if (inlineValue) Fail(name + " takes no value");
        };
        const auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) Fail(name + " needs a value");
            return args[++i];
        };
        if (name == "--help" || name == "-h") {
            flag();
            o.help = true;
        } else if (name == "--type") {
            o.sim.entry = FindType(value());
            o.typeGiven = true;
        } else if (name == "--firmware") {
            o.sim.firmware = ParseFirmware(value());
            o.firmwareGiven = true;
        } else if (name == "--framing") {
            const std::string v = value();
            if (v == "rtu")
                o.framing = Framing::Rtu;
            else if (v == "ascii")
                o.framing = Framing::Ascii;
            else
                Fail("--framing is rtu or ascii, not \"" + v + "\"");
        } else if (name == "--unit") {
            o.sim.unit = static_cast<uint8_t>(NumberOption(name, value(), 1, 247));
        } else if (name == "--link") {
            o.link = value();
            if (o.link.empty() || o.link.back() == '/') Fail("--link needs a file name or path");
        } else if (name == "--image") {
            o.image = value();
        } else if (name == "--dump") {
            o.dump = value();
        } else if (name == "--serial") {
            o.sim.serialNumber = value();
            if (o.sim.serialNumber.size() > 16) Fail("--serial takes at most 16 bytes");
        } else if (name == "--password") {
            const std::string v = value();
            o.sim.password = PackPassword(v);
            if (!o.sim.password) Fail("--password needs 1 to 16 characters, each up to U+00FF");
        } else if (name == "--protect-exception") {
            const auto code = NumberOption(name, value(), EXC_PROTECTED, EXC_PROTECTED_ALT);
            o.sim.protectException = static_cast<uint8_t>(code);
        } else if (name == "--relock-after") {
            o.sim.relockAfterSeconds = static_cast<uint32_t>(NumberOption(name, value(), 0, 86400));
        } else if (name == "--silent") {
            flag();
            o.faults.silent = true;
        } else if (name == "--drop-every") {
            o.faults.dropEvery = static_cast<uint32_t>(NumberOption(name, value(), 1, 1000000));
        } else if (name == "--corrupt-every") {
            o.faults.corruptEvery = static_cast<uint32_t>(NumberOption(name, value(), 1, 1000000));
        } else if (name == "--exception") {
            o.faults.exception = static_cast<uint8_t>(NumberOption(name, value(), 1, 255));
        } else if (name == "--delay-ms") {
            o.faults.delayMs = static_cast<uint32_t>(NumberOption(name, value(), 0, 60000));
        } else if (name == "--pace") {
            o.paceBaud = static_cast<uint32_t>(NumberOption(name, value(), 50, 4000000));
        } else if (name == "--stuck") {
            o.sim.stuck = ParseAddressList(name, value());
        } else if (name == "--seed") {
            o.sim.seed = static_cast<uint32_t>(NumberOption(name, value(), 0, 4294967295));
        } else if (name == "--tcp") {
            ParseTcpAddress(value(), o.net);
        } else if (name == "--split-reply") {
            o.net.splitReply = static_cast<uint32_t>(NumberOption(name, value(), 1, 64));
        } else if (name == "--udp") {
            flag();
            o.net.udp = true;
        } else if (name == "--udp-port") {
            o.net.udpPort = static_cast<uint16_t>(NumberOption(name, value(), 0, 65535));
            o.net.udp = true;
        } else if (name == "--mac") {
            const std::string v = value();
            const auto mac = ParseMac(v);
            if (!mac)
                Fail("--mac needs six hexadecimal byte pairs like 02:00:00:00:00:01, not \"" + v +
                     "\"");
            o.net.mac = *mac;
        } else if (name == "--any-mac") {
            flag();
            o.net.anyMac = true;
        } else if (name == "--echo-requests") {
            flag();
            o.net.echoRequests = true;
        } else if (name == "--broadcast-replies") {
            flag();
            o.net.broadcastReplies = true;
        } else if (name == "--verbose") {
            flag();
            o.verbose = true;
        } else {
            Fail("unknown option \"" + args[i] + "\"");
        }
    }
    return o;
}

std::optional<MacAddress> ParseMac(std::string_view text) {
    MacAddress mac{};
    if (text.size() != 17) return std::nullopt;
    for (size_t k = 0; k < mac.size(); ++k) {
        const size_t at = 3 * k;
        if (k > 0 && text[at - 1] != ':' && text[at - 1] != '-') return std::nullopt;
        uint32_t v = 0;
        auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + 2, v, 16);
        if (ec != std::errc() || end != text.data() + at + 2) return std::nullopt;
        mac[k] = static_cast<uint8_t>(v);
    }
    return mac;
}

RegisterImage ParseImage(std::string_view text, const std::string& source) {
    RegisterImage image;
    std::map<uint16_t, size_t> seen;
    size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const size_t nl = text.find('\n');
        std::string line(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream fields(line);
        std::string address, value, extra;
        if (!(fields >> address)) continue;  // blank or comment only
        const auto where = platform::FormatC("%s:%zu: ", source.c_str(), lineNo);
        if (!(fields >> value) || (fields >> extra))
            Fail(where + "expected \"address value\", found \"" + line + "\"");
        const auto a = ParseInt(address, 0, 65535);
        if (!a) Fail(where + "the address \"" + address + "\" is not a number from 0 to 65535");
        const auto v = ParseWord(value);
        if (!v) Fail(where + "the value \"" + value + "\" is not a 16-bit number");
        if (auto [it, fresh] = seen.emplace(static_cast<uint16_t>(*a), lineNo); !fresh)
            Fail(where + platform::FormatC("register %lld is already set on line %zu",
                                           static_cast<long long>(*a), it->second));
        image.emplace_back(static_cast<uint16_t>(*a), *v);
    }
    return image;
}

std::string FormatImage(const CDeviceSim& device) {
    std::string out = platform::FormatC("# norvelco-devsim register image: %s, type code %u\n",
                                        device.ModelCode(), device.TypeCode());
    for (const auto& [address, value] : device.Image())
        out += platform::FormatC("%u %u\n", address, value);
    return out;
}

void WriteFileAtomically(const std::string& path, const std::string& content) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) throw CPrivateException(path + ": " + CMessageFormatter(errno).Text());
    size_t done = 0;
    bool ok = true;
    while (ok && done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    const int error = ok ? 0 : errno;
    // mkstemp makes the file private; an image is ordinary data.
    fchmod(fd, 0666 & ~CurrentUmask());
    if (close(fd) != 0 && ok) ok = false;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        const int e = error ? error : errno;
        unlink(temp.c_str());
        throw CPrivateException(path + ": " + CMessageFormatter(e).Text());
    }
}

std::unique_ptr<CDeviceSim> CreateDevice(Options& options, Clock::time_point now) {
    RegisterImage image;
    if (!options.image.empty()) {
        std::ifstream in(options.image, std::ios::binary);
        if (!in) Fail(options.image + ": " + CMessageFormatter(errno).Text());
        std::ostringstream text;
        text << in.rdbuf();
        image = ParseImage(text.str(), options.image);
    }
    std::map<uint16_t, uint16_t> fromImage(image.begin(), image.end());
    if (auto t = fromImage.find(REG_TYPE_CODE); t != fromImage.end()) {
        if (!options.typeGiven) {
            const int entry = CDevType().FindEntry(t->second, 65536);
            if (entry < 0)
                Fail(platform::FormatC("%s: unknown type code %u in register 3003",
                                       options.image.c_str(), t->second));
            options.sim.entry = entry;
        } else if (t->second != CDevType::Entry(options.sim.entry).typeCode) {
            Fail(platform::FormatC("%s: the image is of type code %u, not of %s (%u)",
                                   options.image.c_str(), t->second,
                                   CDevType::Entry(options.sim.entry).modelCode,
                                   CDevType::Entry(options.sim.entry).typeCode));
        }
    }
    if (!options.firmwareGiven)
        for (uint16_t k = 0; k < 3; ++k)
            if (auto f = fromImage.find(static_cast<uint16_t>(REG_FIRMWARE_MAJOR + k));
                f != fromImage.end())
                options.sim.firmware[k] = f->second;

    auto device = std::make_unique<CDeviceSim>(options.sim, now);
    for (const auto& [address, value] : image) {
        if (address >= REG_FIRMWARE_MAJOR && address <= REG_TYPE_CODE) continue;  // taken above
        if (!device->SetRegister(address, value))
            Fail(platform::FormatC("%s: register %u is not in the register map of %s",
                                   options.image.c_str(), address, device->ModelCode()));
    }
    for (uint16_t address : options.sim.stuck)
        if (!device->HasRegister(address))
            Fail(platform::FormatC("--stuck: register %u is not in the register map of %s", address,
                                   device->ModelCode()));
    device->ApplySettings();
    device->TakeChanged();
    return device;
}

}  // namespace devsim
