#include "session/device_session.h"

#include "app/private_exception.h"
#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "model/modbus_mapping.h"
#include "model/value_check.h"
#include "session/password.h"

namespace {

constexpr int kTypeRegister = 3003;
constexpr int kVersionRegister = 3000;

uint16_t ReadOne(CModbusInterface& master, int address) {
    uint16_t word = 0;
    master.ReadHoldingRegisters(address, 1, std::span<uint16_t>(&word, 1));
    return word;
}

}  // namespace

CloseGuard::~CloseGuard() {
    m_master.Close();
}

DeviceIdentity IdentifyDevice(CModbusInterface& master) {
    DeviceIdentity id;
    id.typeCode = ReadOne(master, kTypeRegister);
    uint16_t version[2] = {0, 0};
    master.ReadHoldingRegisters(kVersionRegister, 2, version);
    id.version = MakeVersion(version[0], version[1]);
    return id;
}

std::unique_ptr<CDevInterface> AcceptForReading(const DeviceIdentity& device) {
    auto model = CDevType().CreateFor(device.typeCode, device.version, DEV_SETTINGS);
    if (!model)
        throw CPrivateException(CPrivateException::Key{"unknowndev"}, {int32_t{device.typeCode}});
    return model;
}

void AcceptForWriting(const CDevInterface& model, const DeviceIdentity& device) {
    if (device.typeCode != model.TypeCode() || device.version < model.VersionMin() ||
        device.version > model.VersionMax())
        throw CPrivateException(CPrivateException::Key{"diffdev"});
}

std::unique_ptr<CDevInterface> ReadFromDevice(CModbusInterface& master,
                                              TransferProgress& progress) {
    master.Open();
    CloseGuard close(master);
    std::unique_ptr<CDevInterface> model = AcceptForReading(IdentifyDevice(master));
    if (progress.Cancelled()) return nullptr;

    CModbusMapping image;
    image.AddModel(*model);
    auto& blocks = image.Blocks();
    for (size_t i = 0; i < blocks.size(); ++i) {
        master.ReadHoldingRegisters(blocks[i].Address(), blocks[i].Count(), blocks[i].Words());
        progress.SetProgress(static_cast<double>(i) / static_cast<double>(blocks.size()));
        if (progress.Cancelled()) return nullptr;
    }
    progress.SetProgress(1.0);
    image.FetchModel(*model);
    return model;
}

bool WriteToDevice(CModbusInterface& master, CDevInterface& model, TransferProgress& progress) {
    progress.SetBlocks(0, 0);
    // A value the device would refuse part-way must stop the download before its first write.
    if (const auto problems = CheckValues(model); !problems.empty())
        throw CPrivateException(DescribeRefusal(problems));
    master.Open();
    CloseGuard close(master);
    AcceptForWriting(model, IdentifyDevice(master));
    if (progress.Cancelled()) return false;

    CModbusMapping image;
    image.AddModel(model);
    const auto& blocks = image.Blocks();
    progress.SetBlocks(0, blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
        master.WriteMultipleRegisters(blocks[i].Address(), blocks[i].Count(), blocks[i].Words());
        progress.SetBlocks(i + 1, blocks.size());
        progress.SetProgress(static_cast<double>(i) / static_cast<double>(blocks.size()));
        if (progress.Cancelled()) return false;
    }
    progress.SetProgress(1.0);
    return true;
}

DeviceLabel ReadDeviceLabel(CModbusInterface& master, const CDevInterface& model) {
    DeviceLabel label;
    auto monitor = CDevType().CreateFor(model.TypeCode(), model.Version(), DEV_MONITOR);
    if (!monitor) return label;
    try {
        master.Open();
        CloseGuard close(master);
        for (auto [key, text] :
             {std::pair{"firmver", &label.firmware}, {"serial", &label.serial}}) {
            const int index = monitor->IndexOf(key);
            if (!monitor->Is(index, key)) continue;
            CParValue& v = monitor->At(index).Value();
            master.ReadHoldingRegisters(v.Address(), v.Count(), v.Words());
            *text = monitor->At(index).GetText();
        }
    } catch (const std::exception&) {
    }
    return label;
}

std::string MixtureWarning(const TransferProgress& progress) {
    return CPrivateException(CPrivateException::Key{"mixwarn"},
                             {static_cast<int32_t>(progress.BlocksWritten()),
                              static_cast<int32_t>(progress.BlockCount())})
        .Message();
}

std::unique_ptr<CDevInterface> PollMonitor(CModbusInterface& master,
                                           const std::atomic<bool>* closing) {
    master.Open();
    CloseGuard close(master);
    if (closing && *closing) throw CPrivateException();
    const uint16_t typeCode = ReadOne(master, kTypeRegister);
    uint16_t version[3] = {0, 0, 0};
    master.ReadHoldingRegisters(kVersionRegister, 3, version);
    auto model = CDevType().CreateFor(typeCode, MakeVersion(version[0], version[1]), DEV_MONITOR);
    if (!model) throw CPrivateException(CPrivateException::Key{"unknowndev"}, {int32_t{typeCode}});

    CModbusMapping image;
    image.AddModel(*model);
    for (CParValue& block : image.Blocks()) {
        if (block.Address() == kVersionRegister && block.Count() == 3) {
            for (size_t k = 0; k < 3; ++k) block.SetWord(k, version[k]);
        } else {
            master.ReadHoldingRegisters(block.Address(), block.Count(), block.Words());
        }
    }
    image.FetchModel(*model);
    return model;
}

bool ConnectDevice(CModbusInterface& master, ConnectionUi& ui, ComSettings settings,
                   bool saveSettings) {
    if (!ui.ChoosePort(settings)) return false;
    // Stored before the device is tried: the chosen port stays even when nothing answers.
    if (saveSettings) settings.Save();
    try {
        master.SetSettings(settings);
        master.Open();
        ReadOne(master, kTypeRegister);
        master.Close();
        return true;
    } catch (const CPrivateException& e) {
        if (e.IsProtect()) {
            bool accepted = false;
            try {
                accepted = ui.AskPassword(master);
            } catch (const CPrivateException&) {
            }
            master.Close();
            return accepted;
        }
        master.Close();
        ui.ShowError(TruncateUtf8(e.Message(), 1023));
        return false;
    }
}

std::string SendPassword(CModbusInterface& master, const std::string& password) {
    PasswordWords words{};
    PasswordCheck check = PackPassword(password, words);
    if (check == PasswordCheck::Empty) return "stopcom";  // nothing entered: the user gave up
    if (check != PasswordCheck::Ok) return PasswordErrorKey(check);
    try {
        master.WriteAuthentication(0, 8, words);
    } catch (const CPrivateException&) {
        return "autherr";
    }
    return {};
}
