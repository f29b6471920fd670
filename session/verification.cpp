#include "session/verification.h"

#include <algorithm>
#include <span>
#include <utility>

#include "app/private_exception.h"
#include "modbus/modbus_interface.h"
#include "model/modbus_mapping.h"

namespace {

std::string DisplayText(const CDevInterface& model, int index, const CParInterface& p) {
    return model.AdjustText(index, p.GetDisplayText());
}

}  // namespace

bool IsVerified(const CParInterface& parameter) {
    return parameter.Value().Count() > 0 &&
           (parameter.Flags() & (PARF_READONLY | PARF_OPERATION)) == 0;
}

std::optional<VerifyResult> VerifyDevice(CModbusInterface& master, const CDevInterface& model,
                                         TransferProgress& progress) {
    master.Open();
    CloseGuard close(master);
    // The same blocks as the download wrote, so that each written block is read back once.
    CModbusMapping image;
    image.AddModel(model);
    auto& blocks = image.Blocks();
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (progress.Cancelled()) return std::nullopt;
        master.ReadHoldingRegisters(blocks[i].Address(), blocks[i].Count(), blocks[i].Words());
        progress.SetProgress(static_cast<double>(i) / static_cast<double>(blocks.size()));
    }
    if (progress.Cancelled()) return std::nullopt;
    progress.SetProgress(1.0);

    VerifyResult result;
    for (int i = 0; i < model.Count(); ++i) {
        const CParInterface& p = model.At(i);
        if (!IsVerified(p)) continue;
        ++result.compared;
        CParInterface held = p;
        image.Fetch(held.Value());
        const std::span<const uint16_t> a = p.Value().Words();
        const std::span<const uint16_t> b = std::as_const(held).Value().Words();
        if (std::equal(a.begin(), a.end(), b.begin(), b.end())) continue;
        result.differences.push_back({i, DisplayText(model, i, p), DisplayText(model, i, held)});
    }
    return result;
}

std::string VerifyFailureText(const CDevInterface& model, const VerifyResult& result,
                              size_t maxLines) {
    std::string lines;
    size_t shown = 0;
    for (const VerifyDifference& d : result.differences) {
        if (shown == maxLines) {
            lines +=
                "\n" + CPrivateException(CPrivateException::Key{"verifymore"},
                                         {static_cast<int32_t>(result.differences.size() - shown)})
                           .Message();
            break;
        }
        lines += "\n" + CPrivateException(CPrivateException::Key{"verifyline"},
                                          {model.At(d.index).GetLabel(), d.written, d.held})
                            .Message();
        ++shown;
    }
    return CPrivateException(
               CPrivateException::Key{"verifyerr"},
               {static_cast<int32_t>(result.differences.size()), int32_t{result.compared}, lines})
        .Message();
}

bool WriteAndVerify(CModbusInterface& master, CDevInterface& model, TransferProgress& progress,
                    bool verify, std::optional<VerifyResult>* result, size_t maxLines) {
    if (!verify) return WriteToDevice(master, model, progress);
    progress.BeginPass(1, 2);
    if (!WriteToDevice(master, model, progress)) return false;
    progress.BeginPass(2, 2);
    std::optional<VerifyResult> found = VerifyDevice(master, model, progress);
    if (!found) return false;
    if (result) *result = found;
    if (!found->Passed()) throw CPrivateException(VerifyFailureText(model, *found, maxLines));
    return true;
}
