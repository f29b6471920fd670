// The register image: the register runs of a model's parameters merged into blocks, so that a
// whole model is read or written with few requests.
#pragma once

#include <cstdint>
#include <vector>

#include "model/par_definition.h"

class CDevInterface;

class CModbusMapping {
public:
    virtual ~CModbusMapping() = default;

    // Merges a value's register run into the image.
    void Add(const CParValue& value);
    // Copies the value's registers out of the image (never past the end of its block).
    void Fetch(CParValue& value) const;

    // Every parameter of the model, in index order.
    void AddModel(const CDevInterface& model);
    // Every parameter fetched back, then the model's rules run for each, in index order.
    void FetchModel(CDevInterface& model) const;

    std::vector<CParValue>& Blocks() { return m_blocks; }
    const std::vector<CParValue>& Blocks() const { return m_blocks; }

private:
    std::vector<CParValue> m_blocks;
};
