#include "model/model_listing.h"

std::vector<ModelRow> ListModel(const CDevInterface& model) {
    std::vector<ModelRow> rows;
    rows.reserve(static_cast<size_t>(model.Count()));
    for (int i = 0; i < model.Count(); ++i) {
        const CParInterface& p = model.At(i);
        const bool group = p.Type() == PAR_GROUP;
        rows.push_back({i, group, p.GetLabel(),
                        group ? std::string() : model.AdjustText(i, p.GetDisplayText())});
    }
    return rows;
}
