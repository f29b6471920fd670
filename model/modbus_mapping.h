// The register image: the register runs of a model's parameters merged into blocks, so that a
// whole model is read or written with few requests.
#pragma once

#include <cstdint>
#include <vector>

#include "model/par_definition.h"

class CDevInterface;

// Largest block one request carries: a read reply holds 125 registers, a write request 123.
constexpr uint16_t kMaxReadBlock = 125;
constexpr uint16_t kMaxWriteBlock = 123;

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

    // Splits every block longer than maxCount into consecutive blocks of at most maxCount.
    void SplitBlocks(uint16_t maxCount);

    std::vector<CParValue>& Blocks() { return m_blocks; }
    const std::vector<CParValue>& Blocks() const { return m_blocks; }

private:
    std::vector<CParValue> m_blocks;
};
