#include "model/value_check.h"

#include <algorithm>
#include <optional>

#include "app/private_exception.h"
#include "platform/text.h"

namespace {

std::string Msg(std::string_view key, std::initializer_list<platform::FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

bool IsDisplayOnly(uint32_t type) {
    return type == PAR_GROUP || type == PAR_MAC64 || type == PAR_VERSION ||
           type == PAR_VERSION_HEX || type > PAR_VERSION_HEX;
}

std::string RawWords(const CParValue& value) {
    std::string text;
    for (uint16_t w : value.Words()) {
        if (!text.empty()) text += ' ';
        text += platform::FormatC("%u", w);
    }
    return text;
}

std::string Allowed(const CParInterface& p) {
    switch (p.Type()) {
        case PAR_TEXT:
            return Msg("val.text", {p.Definition().maximum});
        case PAR_NAME:
            return Msg("val.name", {p.Definition().maximum});
        default:
            return Msg("val.range", {p.FormatNumber(p.Minimum()), p.FormatNumber(p.Maximum())});
    }
}

// Text kinds: what the editor shows must be what the codec takes back.
std::optional<ValueProblem> CheckText(int index, const CParInterface& p) {
    CParInterface copy = p;
    try {
        copy.SetText(p.GetText());
    } catch (const CPrivateException&) {
        return ValueProblem{index, p.GetLabel(), p.GetText(), Allowed(p)};
    }
    return std::nullopt;
}

std::optional<ValueProblem> CheckList(int index, const CParInterface& p) {
    const uint32_t raw =
        (p.Type() == PAR_LIST32 ? uint32_t{p.Value().Word(1)} << 16 : 0u) | p.Value().Word(0);
    const int32_t current =
        p.Type() == PAR_LIST32 ? static_cast<int32_t>(raw) : static_cast<int32_t>(raw & 0xFFFF);
    std::string entries;
    for (int position = 0; position < 1000; ++position) {
        const int32_t value = p.GetListValue(position);
        const std::string text = p.FormatNumber(value);
        if (text.empty()) break;
        if (value == current) return std::nullopt;
        if (!entries.empty()) entries += ", ";
        entries += text;
    }
    if (entries.empty()) return std::nullopt;  // nothing to judge by
    const std::string shown = p.GetText();
    return ValueProblem{index, p.GetLabel(),
                        shown.empty() ? platform::FormatC("%d", current) : shown,
                        Msg("val.list", {entries})};
}

std::optional<ValueProblem> CheckChannels(int index, const CParInterface& p) {
    const int lowest = static_cast<int>(p.Minimum() & 0xFFFF);
    const int highest = static_cast<int>((p.Minimum() >> 16) & 0xFFFF);
    const size_t room = std::min<size_t>(p.Value().Count(), 10);
    size_t chosen = 0;
    bool inRange = true;
    for (uint16_t w : p.Value().Words()) {
        if (w == 0) continue;
        ++chosen;
        inRange = inRange && w >= lowest && w <= highest;
    }
    if (inRange && chosen <= room) return std::nullopt;
    return ValueProblem{
        index, p.GetLabel(), p.GetText(),
        Msg("val.channels", {static_cast<int32_t>(room), int32_t{lowest}, int32_t{highest}})};
}

}  // namespace

std::vector<ValueProblem> CheckValues(const CDevInterface& model) {
    std::vector<ValueProblem> problems;
    for (int i = 0; i < model.Count(); ++i) {
        const CParInterface& p = model.At(i);
        if (!p.HasDefinition() || IsDisplayOnly(p.Type()) || (p.Flags() & PARF_READONLY)) continue;
        std::optional<ValueProblem> problem;
        if (p.Type() == PAR_LIST16 || p.Type() == PAR_LIST32)
            problem = CheckList(i, p);
        else if (p.Type() == PAR_CHANNELS)
            problem = CheckChannels(i, p);
        else
            problem = CheckText(i, p);
        if (problem) {
            if (problem->value.empty()) problem->value = RawWords(p.Value());
            problems.push_back(std::move(*problem));
        }
    }
    return problems;
}

std::string DescribeProblem(const ValueProblem& problem) {
    return Msg("val.bad", {problem.label, problem.value, problem.allowed});
}

std::string DescribeRefusal(const std::vector<ValueProblem>& problems) {
    std::string lines;
    for (const ValueProblem& problem : problems) {
        if (!lines.empty()) lines += '\n';
        lines += DescribeProblem(problem);
    }
    return Msg("val.refused", {lines});
}
