// The simulator's command line, its register image files, and the device built from both.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/devsim/device_sim.h"
#include "tools/devsim/frame_server.h"

namespace devsim {

struct Options {
    SimConfig sim;
    Framing framing = Framing::Rtu;
    FaultConfig faults;
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
