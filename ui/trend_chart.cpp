#include "ui/trend_chart.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLabel>
#include <QLineSeries>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "model/dev_interface.h"
#include "platform/message_format.h"
#include "ui/window_utils.h"

namespace {

// What is worth watching by default: the reception level, and the inputs of the analogue unit.
constexpr const char* kDefaultKeys[] = {"rssi", "ai1val", "ai2val"};

const QColor kColors[] = {QColor(0, 90, 200), QColor(210, 60, 20), QColor(20, 150, 60),
                          QColor(150, 40, 170), QColor(200, 140, 0), QColor(0, 150, 160)};

constexpr int64_t kMinuteMs = 60 * 1000;

QString Text(const char* key, std::initializer_list<platform::FormatArg> args) {
    return ToQ(platform::FormatMessageText(g_resources.GetMessageText(key), args));
}

int64_t Ms(MonitorClock::time_point when) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
}

}  // namespace

// ---- one trace ----

void CTrendTrace::Add(int64_t ms, std::optional<double> value) {
    m_points.push_back({ms, value});
    if (!value) return;
    m_lowest = m_lowest ? std::min(*m_lowest, *value) : *value;
    m_highest = m_highest ? std::max(*m_highest, *value) : *value;
}

void CTrendTrace::Trim(int64_t oldestMs) {
    while (!m_points.empty() && m_points.front().ms < oldestMs) m_points.pop_front();
}

std::optional<double> CTrendTrace::Current() const {
    if (m_points.empty()) return std::nullopt;
    return m_points.back().value;
}

std::vector<std::vector<std::pair<int64_t, double>>> CTrendTrace::Segments(int64_t fromMs) const {
    std::vector<std::vector<std::pair<int64_t, double>>> segments;
    bool open = false;
    for (const Point& p : m_points) {
        if (p.ms < fromMs) continue;
        if (!p.value) {
            open = false;
            continue;
        }
        if (!open) segments.emplace_back();
        open = true;
        segments.back().emplace_back(p.ms, *p.value);
    }
    return segments;
}

// ---- the chart ----

CTrendChart::CTrendChart(QWidget* parent)
    : QWidget(parent),
      m_chart(new QChart),
      m_view(new QChartView(m_chart, this)),
      m_timeAxis(new QDateTimeAxis(m_chart)),
      m_readout(new QLabel(this)),
      m_windowBox(new QComboBox(this)) {
    m_chart->legend()->hide();
    m_chart->setMargins(QMargins(2, 2, 2, 2));
    m_chart->setBackgroundRoundness(0);
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    m_view->setRenderHint(QPainter::Antialiasing);
    m_readout->setTextFormat(Qt::RichText);
    m_readout->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_readout);
    layout->addWidget(m_windowBox, 0, Qt::AlignLeft);
    for (int minutes : kWindows) m_windowBox->addItem(QString(), minutes);
    m_windowBox->setCurrentIndex(1);
    connect(m_windowBox, &QComboBox::activated, this, [this](int i) {
        SetWindowMinutes(m_windowBox->itemData(i).toInt());
        emit WindowChanged(m_minutes);
    });
    ApplyLanguage();
    Redraw();
}

CTrendChart::~CTrendChart() = default;

bool CTrendChart::CanShow(const CDevInterface& model, int index) {
    if (index < 0 || index >= model.Count()) return false;
    const CParInterface& p = model.At(index);
    return !(p.Flags() & PARF_OPERATION) && MonitorNumber(p).has_value();
}

CTrendChart::Drawn* CTrendChart::Find(const std::string& key) {
    for (auto& d : m_traces)
        if (d->trace.Key() == key) return d.get();
    return nullptr;
}

const CTrendChart::Drawn* CTrendChart::Find(const std::string& key) const {
    return const_cast<CTrendChart*>(this)->Find(key);
}

bool CTrendChart::IsShown(const std::string& key) const {
    return Find(key) != nullptr;
}

std::vector<std::string> CTrendChart::ShownKeys() const {
    std::vector<std::string> keys;
    for (const auto& d : m_traces) keys.push_back(d->trace.Key());
    return keys;
}

const CTrendTrace* CTrendChart::Trace(const std::string& key) const {
    const Drawn* d = Find(key);
    return d ? &d->trace : nullptr;
}

int CTrendChart::LineCount(const std::string& key) const {
    const Drawn* d = Find(key);
    return d ? static_cast<int>(d->lines.size()) : 0;
}

void CTrendChart::Add(const CDevInterface& model, int index) {
    const CParInterface& p = model.At(index);
    if (!CanShow(model, index) || IsShown(p.Key())) return;
    auto d = std::make_unique<Drawn>(CTrendTrace(p.Key(), std::max(0, p.Decimals())));
    d->name = ToQ(p.GetLabel());
    d->unit = ToQ(p.GetUnitText());
    d->label = d->unit.isEmpty() ? d->name : d->name + " [" + d->unit + "]";
    d->color = kColors[m_nextColor++ % std::size(kColors)];
    d->axis = new QValueAxis(m_chart);
    d->axis->setTitleText(d->label);
    d->axis->setLinePenColor(d->color);
    d->axis->setLabelsColor(d->color);
    d->axis->setTitleBrush(d->color);
    d->axis->setLabelFormat(QString("%.%1f").arg(d->trace.Decimals()));
    m_chart->addAxis(d->axis, m_traces.size() % 2 == 0 ? Qt::AlignLeft : Qt::AlignRight);
    m_traces.push_back(std::move(d));
}

void CTrendChart::Remove(size_t position) {
    Drawn& d = *m_traces[position];
    for (QLineSeries* s : d.lines) {
        m_chart->removeSeries(s);
        delete s;
    }
    m_chart->removeAxis(d.axis);
    delete d.axis;
    m_traces.erase(m_traces.begin() + static_cast<std::ptrdiff_t>(position));
}

void CTrendChart::AddDefaults(const CDevInterface& model) {
    for (const char* key : kDefaultKeys) {
        const int index = model.IndexOf(key);
        if (model.Is(index, key)) Add(model, index);
    }
}

void CTrendChart::SetShown(const CDevInterface& model, int index, bool shown) {
    if (index < 0 || index >= model.Count()) return;
    const std::string key = model.At(index).Key();
    if (shown) {
        Add(model, index);
    } else {
        for (size_t i = 0; i < m_traces.size(); ++i)
            if (m_traces[i]->trace.Key() == key) Remove(i);
    }
    Redraw();
}

void CTrendChart::AddPoll(const CDevInterface& model, MonitorClock::time_point when) {
    if (model.TypeCode() != m_typeCode) {
        for (size_t i = m_traces.size(); i-- > 0;) {
            const std::string& key = m_traces[i]->trace.Key();
            if (!model.Is(model.IndexOf(key), key)) Remove(i);
        }
        if (m_traces.empty()) AddDefaults(model);
        m_typeCode = model.TypeCode();
    }
    m_lastMs = Ms(when);
    for (auto& d : m_traces) {
        const std::string& key = d->trace.Key();
        const int index = model.IndexOf(key);
        d->trace.Add(m_lastMs, model.Is(index, key) ? MonitorNumber(model.At(index)) : std::nullopt);
    }
    Redraw();
}

void CTrendChart::AddFailedPoll(MonitorClock::time_point when) {
    m_lastMs = Ms(when);
    for (auto& d : m_traces) d->trace.Add(m_lastMs, std::nullopt);
    Redraw();
}

void CTrendChart::SetWindowMinutes(int minutes) {
    if (std::find(std::begin(kWindows), std::end(kWindows), minutes) == std::end(kWindows)) return;
    m_minutes = minutes;
    m_windowBox->setCurrentIndex(m_windowBox->findData(minutes));
    Redraw();
}

void CTrendChart::ApplyLanguage() {
    for (int i = 0; i < m_windowBox->count(); ++i)
        m_windowBox->setItemText(i, Text("mon.window", {m_windowBox->itemData(i).toInt()}));
    UpdateReadout();
}

void CTrendChart::Redraw() {
    // Memory stays bounded: nothing older than the longest window is kept.
    const int64_t now = m_lastMs ? m_lastMs : QDateTime::currentMSecsSinceEpoch();
    for (auto& d : m_traces) d->trace.Trim(now - std::end(kWindows)[-1] * kMinuteMs);
    const int64_t from = now - m_minutes * kMinuteMs;
    m_timeAxis->setFormat(m_minutes >= 60 ? "HH:mm" : "HH:mm:ss");
    m_timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(now));
    for (auto& d : m_traces) DrawTrace(*d, from);
    UpdateReadout();
}

void CTrendChart::DrawTrace(Drawn& d, int64_t fromMs) {
    const auto segments = d.trace.Segments(fromMs);
    while (d.lines.size() > segments.size()) {
        m_chart->removeSeries(d.lines.back());
        delete d.lines.back();
        d.lines.pop_back();
    }
    while (d.lines.size() < segments.size()) {
        auto* s = new QLineSeries;
        s->setColor(d.color);
        m_chart->addSeries(s);
        s->attachAxis(m_timeAxis);
        s->attachAxis(d.axis);
        d.lines.push_back(s);
    }
    double low = 0, high = 0;
    bool any = false;
    for (size_t i = 0; i < segments.size(); ++i) {
        QList<QPointF> points;
        points.reserve(static_cast<qsizetype>(segments[i].size()));
        for (const auto& [ms, v] : segments[i]) {
            points.append(QPointF(static_cast<double>(ms), v));
            low = any ? std::min(low, v) : v;
            high = any ? std::max(high, v) : v;
            any = true;
        }
        d.lines[i]->replace(points);
        // A value between two gaps is a point, not a line.
        d.lines[i]->setPointsVisible(points.size() == 1);
    }
    if (!any) {
        low = 0;
        high = 1;
    }
    const double pad = high > low ? (high - low) * 0.1 : std::max(1.0, std::abs(high) * 0.05);
    d.axis->setRange(low - pad, high + pad);
    d.axis->applyNiceNumbers();
    // Whole numbers get whole ticks: 0..2 is three ticks, not 0, 0.5, 1, 1.5, 2 shown as 0, 1, 1, 2, 2.
    const double span = d.axis->max() - d.axis->min();
    if (d.trace.Decimals() == 0 && span < d.axis->tickCount() - 1)
        d.axis->setTickCount(std::max(2, static_cast<int>(std::lround(span)) + 1));
}

QString CTrendChart::ValueText(const Drawn& d, std::optional<double> value) const {
    if (!value) return QStringLiteral("–");
    QString text = QString::number(*value, 'f', d.trace.Decimals());
    return d.unit.isEmpty() ? text : text + " " + d.unit;
}

QString CTrendChart::Readout(const std::string& key) const {
    const Drawn* d = Find(key);
    if (!d) return {};
    return Text("mon.trace", {FromQ(d->name), FromQ(ValueText(*d, d->trace.Current())),
                              FromQ(ValueText(*d, d->trace.Lowest())),
                              FromQ(ValueText(*d, d->trace.Highest()))});
}

void CTrendChart::UpdateReadout() {
    QString html;
    for (const auto& d : m_traces) {
        if (!html.isEmpty()) html += "<br>";
        html += QString("<span style=\"color:%1\">&#9632;</span> %2")
                    .arg(d->color.name(), Readout(d->trace.Key()).toHtmlEscaped());
    }
    m_readout->setText(html);
}
