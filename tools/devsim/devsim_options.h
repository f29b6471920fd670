// The simulator's command line, its register image files, and the device built from both.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "tools/devsim/device_sim.h"
#include "tools/devsim/frame_server.h"

namespace devsim {

constexpr uint16_t kDefaultTcpPort = 1502;  // above 1024: no privilege needed
constexpr uint16_t kBroadcastModePort = 502;

// The network side: Modbus/TCP on one address, and the MAC-addressed UDP broadcast mode.
struct NetOptions {
    bool tcp = false;
    std::string tcpHost = "127.0.0.1";
    uint16_t tcpPort = kDefaultTcpPort;  // 0: any free port
    uint32_t splitReply = 1;             // TCP segments each reply is sent in
    bool udp = false;
    uint16_t udpPort = kBroadcastModePort;
    MacAddress mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    bool anyMac = false;            // answers requests for any MAC (a misaddressed device)
    bool echoRequests = false;      // sends each request back first, as a repeater on the path
    bool broadcastReplies = false;  // answers to the broadcast address, not to the sender
};

struct Options {
    SimConfig sim;
    Framing framing = Framing::Rtu;
    FaultConfig faults;
    NetOptions net;
    std::string link;   // name in the ports folder, or an absolute path; empty: devsim-MODEL-PID
    std::string image;  // register image loaded over the defaults
    std::string dump;   // register image rewritten after every write and at exit
    uint32_t paceBaud = 0;
    bool verbose = false;
    bool help = false;
    bool typeGiven = false;
    bool firmwareGiven = false;
};

// Usage errors carry their reason as the message; the caller prints it with the usage text.
struct UsageError {
    std::string message;
};

// Throws UsageError for an unknown option, a missing or malformed value.
Options ParseOptions(const std::vector<std::string>& args);
// "00:11:22:33:44:55" (or with '-'), either case of hex digit; nothing for anything else.
std::optional<MacAddress> ParseMac(std::string_view text);
const char* UsageText();

using RegisterImage = std::vector<std::pair<uint16_t, uint16_t>>;

// Lines "address value" (decimal, 0x hexadecimal, or a negative 16-bit value); '#' starts a
// comment. Throws UsageError naming the source and line of the first malformed line.
RegisterImage ParseImage(std::string_view text, const std::string& source);
std::string FormatImage(const CDeviceSim& device);
// Writes a temporary file beside the path and renames it over the path, so that a reader never
// sees half an image. Throws CPrivateException when the file cannot be written.
void WriteFileAtomically(const std::string& path, const std::string& content);

// The device the options describe, with the image file loaded over its defaults. The image may
// name the type (register 3003) and the firmware (3000..3002); options given explicitly win, and
// a type that contradicts the image is an error. Throws UsageError.
std::unique_ptr<CDeviceSim> CreateDevice(Options& options, Clock::time_point now);

}  // namespace devsim
