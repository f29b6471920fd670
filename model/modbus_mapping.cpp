#include "model/modbus_mapping.h"

#include <algorithm>

#include "model/dev_interface.h"

namespace {

CParValue Join(const CParValue& first, const CParValue& second) {
    std::vector<uint16_t> words(first.Words().begin(), first.Words().end());
    words.insert(words.end(), second.Words().begin(), second.Words().end());
    return CParValue(first.Address(), static_cast<uint16_t>(words.size()), words.data());
}

uint32_t End(const CParValue& v) {
    return uint32_t(v.Address()) + v.Count();
}

}  // namespace

void CModbusMapping::Add(const CParValue& v) {
    if (v.Count() == 0) return;
    bool merged = false;
    for (CParValue& b : m_blocks) {
        if (b.Address() <= v.Address() && v.Address() < End(b)) return;  // already inside
        if (v.Address() == End(b)) {
            b = Join(b, v);
            merged = true;
            break;
        }
        if (b.Address() == End(v)) {
            b = Join(v, b);
            merged = true;
            break;
        }
    }
    if (!merged) m_blocks.emplace_back(v.Address(), v.Count(), v.Data());

    // Join at most one pair that has become adjacent.
    for (size_t d = 0; d + 1 < m_blocks.size(); ++d) {
        for (size_t j = d + 1; j < m_blocks.size(); ++j) {
            if (End(m_blocks[j]) == m_blocks[d].Address()) {
                m_blocks[j] = Join(m_blocks[j], m_blocks[d]);
            } else if (m_blocks[j].Address() == End(m_blocks[d])) {
                m_blocks[j] = Join(m_blocks[d], m_blocks[j]);
            } else {
                continue;
            }
            m_blocks.erase(m_blocks.begin() + static_cast<std::ptrdiff_t>(d));
            return;
        }
    }
}

void CModbusMapping::Fetch(CParValue& v) const {
    if (v.Count() == 0) return;
    for (const CParValue& b : m_blocks) {
        if (b.Address() <= v.Address() && v.Address() < End(b)) {
            const size_t offset = v.Address() - b.Address();
            const size_t n = std::min<size_t>(v.Count(), b.Count() - offset);
            for (size_t i = 0; i < n; ++i) v.SetWord(i, b.Word(offset + i));
            return;
        }
    }
}

void CModbusMapping::AddModel(const CDevInterface& model) {
    for (int i = 0; i < model.Count(); ++i) Add(model.At(i).Value());
}

void CModbusMapping::FetchModel(CDevInterface& model) const {
    for (int i = 0; i < model.Count(); ++i) {
        Fetch(model.At(i).Value());
        model.OnChanged(i);
    }
}
