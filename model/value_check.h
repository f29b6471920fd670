// Whether the registers of a model hold what each parameter's definition allows, checked with the
// codec's own rules: a file or a device may hold values that the editors would never produce.
#pragma once

#include <string>
#include <vector>

#include "model/dev_interface.h"

struct ValueProblem {
    int index;            // of the parameter in the model
    std::string label;    // the parameter's label
    std::string value;    // the value as shown, or the raw number where no text names it
    std::string allowed;  // what the parameter allows, in words
};

// The editable parameters whose values their definitions refuse, in index order. A list whose
// language file names no entries is not judged.
std::vector<ValueProblem> CheckValues(const CDevInterface& model);

// One line per problem ("val.bad").
std::string DescribeProblem(const ValueProblem& problem);
// The refusal of a download before anything is written ("val.refused" and a line per problem).
std::string DescribeRefusal(const std::vector<ValueProblem>& problems);
