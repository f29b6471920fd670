// The monitor's trend chart: chosen number values of the monitor model over the last minutes,
// each on an axis of its own unit, with gaps where a poll failed and the current, lowest and
// highest value since the chart started.
#pragma once

#include <QColor>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/resource_database.h"
#include "session/monitor_record.h"

class CDevInterface;
class QChart;
class QChartView;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QValueAxis;

// One value over time; a point without a value is a failed poll and breaks the line.
class CTrendTrace {
public:
    struct Point {
        int64_t ms;  // since the epoch
        std::optional<double> value;
    };

    CTrendTrace(std::string key, int decimals) : m_key(std::move(key)), m_decimals(decimals) {}

    void Add(int64_t ms, std::optional<double> value);
    // Forgets points before oldestMs; the lowest and highest value stay.
    void Trim(int64_t oldestMs);
    // The runs of consecutive values from fromMs on, as (ms, value) pairs.
    std::vector<std::vector<std::pair<int64_t, double>>> Segments(int64_t fromMs) const;

    const std::string& Key() const { return m_key; }
    int Decimals() const { return m_decimals; }
    size_t PointCount() const { return m_points.size(); }
    std::optional<double> Current() const;
    std::optional<double> Lowest() const { return m_lowest; }
    std::optional<double> Highest() const { return m_highest; }

private:
    std::string m_key;
    int m_decimals;
    std::deque<Point> m_points;
    std::optional<double> m_lowest;
    std::optional<double> m_highest;
};

class CTrendChart : public QWidget, public CResourceManager {
    Q_OBJECT
public:
    // The time windows the user chooses from; points older than the longest are dropped.
    static constexpr int kWindows[] = {1, 10, 60};

    explicit CTrendChart(QWidget* parent = nullptr);
    ~CTrendChart() override;

    // Whether a parameter can be drawn: a number parameter of the monitor model.
    static bool CanShow(const CDevInterface& model, int index);

    // A successful poll: a point for every trace (a gap where the model lacks the value). A
    // model of another type drops the traces it has no value for; with none left the defaults
    // of the model are shown.
    void AddPoll(const CDevInterface& model, MonitorClock::time_point when);
    // A failed poll: a gap in every trace.
    void AddFailedPoll(MonitorClock::time_point when);

    void SetShown(const CDevInterface& model, int index, bool shown);
    bool IsShown(const std::string& key) const;
    std::vector<std::string> ShownKeys() const;

    void SetWindowMinutes(int minutes);
    int WindowMinutes() const { return m_minutes; }

    // Rebuilds the texts after a language switch.
    void ApplyLanguage();

    // For the tests: the trace's points kept, its line pieces on the chart, and its readout.
    const CTrendTrace* Trace(const std::string& key) const;
    int LineCount(const std::string& key) const;
    QString Readout(const std::string& key) const;
    QChart* Chart() const { return m_chart; }

signals:
    void WindowChanged(int minutes);

private:
    struct Drawn {
        explicit Drawn(CTrendTrace t) : trace(std::move(t)) {}
        CTrendTrace trace;
        QString label;  // "Reception level [dBm]"
        QString name;   // "Reception level"
        QString unit;
        QColor color;
        QValueAxis* axis = nullptr;
        std::vector<QLineSeries*> lines;
    };

    void Add(const CDevInterface& model, int index);
    void Remove(size_t position);
    void AddDefaults(const CDevInterface& model);
    void Redraw();
    void DrawTrace(Drawn& d, int64_t fromMs);
    void UpdateReadout();
    QString ValueText(const Drawn& d, std::optional<double> value) const;
    Drawn* Find(const std::string& key);
    const Drawn* Find(const std::string& key) const;

    QChart* m_chart;
    QChartView* m_view;
    QDateTimeAxis* m_timeAxis;
    QLabel* m_readout;
    QComboBox* m_windowBox;
    std::vector<std::unique_ptr<Drawn>> m_traces;
    uint16_t m_typeCode = 0;
    int m_minutes = 10;
    int64_t m_lastMs = 0;
    int m_nextColor = 0;
};
