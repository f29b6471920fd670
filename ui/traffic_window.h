// The traffic window: the live record of a master's exchanges (time, direction, bytes, meaning),
// errors in red, the statistics above it; pause, clear, copy and save. It keeps the newest
// entries in a ring, so that a day of monitoring cannot exhaust the memory.
#pragma once

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/resource_database.h"
#include "modbus/traffic.h"

class CModbusInterface;
class QLabel;
class QPushButton;
class QTableView;

inline constexpr size_t kTrafficWindowCapacity = 100000;

// The entries as rows of a table view; one row per entry, never a widget per row.
class CTrafficModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { COL_TIME, COL_DIR, COL_BYTES, COL_MEANING, COL_MS, COLUMN_COUNT };

    explicit CTrafficModel(size_t capacity, QObject* parent = nullptr);

    // Appends in order; the oldest rows go once the ring is full.
    void Append(std::vector<modbus::TrafficEntry> entries);
    void Clear();
    const modbus::TrafficEntry& At(int row) const { return m_entries[static_cast<size_t>(row)]; }
    size_t Capacity() const { return m_capacity; }
    // The column titles from the language file.
    void RefreshTitles();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    size_t m_capacity;
    std::deque<modbus::TrafficEntry> m_entries;
    QStringList m_titles;
};

class CTrafficWindow : public QWidget, public CResourceManager {
    Q_OBJECT
public:
    // Starts recording the master's traffic (not owned; it must outlive the window).
    explicit CTrafficWindow(CModbusInterface& master, size_t capacity = kTrafficWindowCapacity,
                            QWidget* parent = nullptr);
    // Stops recording.
    ~CTrafficWindow() override;

    // Every text from the language file, after a language switch too.
    void ApplyLanguage();
    // Takes the entries that arrived since the last call into the list (the window's timer
    // calls it several times a second) and refreshes the statistics.
    void Refresh();
    void SetPaused(bool paused);
    bool Paused() const { return m_paused; }
    // Empties the list and starts the statistics anew.
    void ClearAll();
    // The selected rows as the tool's traffic lines; also put on the clipboard by Copy.
    QString SelectionText() const;
    void CopySelection();
    // Writes every entry of the list as the tool's traffic lines; false (and a message box)
    // when the file cannot be written.
    bool SaveTo(const std::string& path);
    void Save();

    // Where Save gets its file name: (title, filter) -> path, empty when cancelled.
    using FileChooser = std::function<std::string(const QString& title, const QString& filter)>;
    void SetFileChooser(FileChooser chooser) { m_fileChooser = std::move(chooser); }

    CTrafficModel* Model() { return &m_model; }
    QTableView* View() const { return m_view; }
    QLabel* StatisticsLabel() const { return m_stats; }
    QPushButton* PauseButton() const { return m_pause; }

private:
    CModbusInterface& m_master;
    modbus::CTrafficBuffer m_buffer;
    CTrafficModel m_model;
    QLabel* m_stats;
    QPushButton* m_pause;
    QPushButton* m_clear;
    QPushButton* m_copy;
    QPushButton* m_save;
    QTableView* m_view;
    QTimer m_timer;
    bool m_paused = false;
    FileChooser m_fileChooser;
};
