// The rows of a model as the parameter list shows them: group headings, labels and value texts.
#pragma once

#include <string>
#include <vector>

#include "model/dev_interface.h"

struct ModelRow {
    int index;
    bool group;  // a group heading: only the label is shown
    std::string label;
    std::string text;  // the model's AdjustText of the display text
};

std::vector<ModelRow> ListModel(const CDevInterface& model);
