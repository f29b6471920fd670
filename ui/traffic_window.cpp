#include "ui/traffic_window.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "app/private_exception.h"
#include "modbus/modbus_interface.h"
#include "ui/window_utils.h"

namespace {

constexpr int kRefreshMs = 100;
const QColor kErrorText(200, 0, 0);

QString Text(const char* key) {
    return ToQ(g_resources.GetMessageText(key));
}

QString LocalTime(int64_t wallUs) {
    return QDateTime::fromMSecsSinceEpoch(wallUs / 1000).toString("HH:mm:ss.zzz");
}

}  // namespace

// ---- the model ----

CTrafficModel::CTrafficModel(size_t capacity, QObject* parent)
    : QAbstractTableModel(parent), m_capacity(std::max<size_t>(capacity, 1)) {
    RefreshTitles();
}

void CTrafficModel::Append(std::vector<modbus::TrafficEntry> entries) {
    if (entries.empty()) return;
    // A batch larger than the ring keeps only its own newest entries.
    if (entries.size() > m_capacity)
        entries.erase(entries.begin(),
                      entries.begin() + static_cast<std::ptrdiff_t>(entries.size() - m_capacity));
    const size_t excess = m_entries.size() + entries.size() > m_capacity
                              ? m_entries.size() + entries.size() - m_capacity
                              : 0;
    if (excess > 0) {
        beginRemoveRows({}, 0, static_cast<int>(excess) - 1);
        m_entries.erase(m_entries.begin(), m_entries.begin() + static_cast<std::ptrdiff_t>(excess));
        endRemoveRows();
    }
    const int first = static_cast<int>(m_entries.size());
    beginInsertRows({}, first, first + static_cast<int>(entries.size()) - 1);
    std::move(entries.begin(), entries.end(), std::back_inserter(m_entries));
    endInsertRows();
}

void CTrafficModel::Clear() {
    beginResetModel();
    m_entries.clear();
    endResetModel();
}

void CTrafficModel::RefreshTitles() {
    m_titles = {Text("traffic.col.time"), Text("traffic.col.dir"), Text("traffic.col.bytes"),
                Text("traffic.col.meaning"), Text("traffic.col.ms")};
    emit headerDataChanged(Qt::Horizontal, 0, COLUMN_COUNT - 1);
}

int CTrafficModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

int CTrafficModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : COLUMN_COUNT;
}

QVariant CTrafficModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const modbus::TrafficEntry& e = At(index.row());
    switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
                case COL_TIME:
                    return LocalTime(e.wallUs);
                case COL_DIR:
                    return e.direction == modbus::TrafficDirection::TX   ? "TX"
                           : e.direction == modbus::TrafficDirection::RX ? "RX"
                                                                         : "--";
                case COL_BYTES:
                    return QString::fromLatin1(e.bytes.data(),
                                               static_cast<qsizetype>(e.bytes.size()));
                case COL_MEANING:
                    return ToQ(e.meaning);
                case COL_MS:
                    if (e.responseUs < 0) return {};
                    return QString::number(static_cast<double>(e.responseUs) / 1000.0, 'f', 1);
            }
            return {};
        case Qt::ToolTipRole:
            // Long frames are cut off in their column.
            if (index.column() == COL_BYTES && !e.bytes.empty())
                return QString::fromLatin1(e.bytes.data(), static_cast<qsizetype>(e.bytes.size()));
            return {};
        case Qt::ForegroundRole:
            if (e.IsError()) return kErrorText;
            return {};
        case Qt::FontRole:
            if (index.column() == COL_BYTES)
                return QFontDatabase::systemFont(QFontDatabase::FixedFont);
            return {};
        case Qt::TextAlignmentRole:
            if (index.column() == COL_MS)
                return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
            return {};
        default:
            return {};
    }
}

QVariant CTrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    if (section < 0 || section >= m_titles.size()) return {};
    return m_titles[section];
}

// ---- the window ----

CTrafficWindow::CTrafficWindow(CModbusInterface& master, size_t capacity, QWidget* parent)
    : QWidget(parent, Qt::Window),
      m_master(master),
      m_buffer(capacity),
      m_model(capacity),
      m_stats(new QLabel(this)),
      m_pause(new QPushButton(this)),
      m_clear(new QPushButton(this)),
      m_copy(new QPushButton(this)),
      m_save(new QPushButton(this)),
      m_view(new QTableView(this)) {
    ApplyUIFont(this);
    m_stats->setWordWrap(true);
    m_stats->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pause->setCheckable(true);

    m_view->setModel(&m_model);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setWordWrap(false);
    m_view->setShowGrid(false);
    m_view->verticalHeader()->hide();
    // Fixed row heights keep a list of 100 000 rows as quick as a short one.
    m_view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_view->verticalHeader()->setDefaultSectionSize(m_view->fontMetrics().height() + 4);
    m_view->horizontalHeader()->setStretchLastSection(false);
    m_view->horizontalHeader()->setSectionResizeMode(CTrafficModel::COL_MEANING,
                                                     QHeaderView::Stretch);
    const int digit = m_view->fontMetrics().horizontalAdvance('0');
    m_view->setColumnWidth(CTrafficModel::COL_TIME, digit * 14);
    m_view->setColumnWidth(CTrafficModel::COL_DIR, digit * 5);
    m_view->setColumnWidth(CTrafficModel::COL_BYTES, digit * 42);
    m_view->setColumnWidth(CTrafficModel::COL_MS, digit * 8);

    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {m_pause, m_clear, m_copy, m_save}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_stats);
    layout->addLayout(buttons);
    layout->addWidget(m_view, 1);

    connect(m_pause, &QPushButton::toggled, this, &CTrafficWindow::SetPaused);
    connect(m_clear, &QPushButton::clicked, this, &CTrafficWindow::ClearAll);
    connect(m_copy, &QPushButton::clicked, this, &CTrafficWindow::CopySelection);
    connect(m_save, &QPushButton::clicked, this, &CTrafficWindow::Save);
    auto* copy = new QShortcut(QKeySequence::Copy, m_view);
    copy->setContext(Qt::WidgetShortcut);
    connect(copy, &QShortcut::activated, this, &CTrafficWindow::CopySelection);
    connect(&m_timer, &QTimer::timeout, this, &CTrafficWindow::Refresh);

    resize(digit * 120, digit * 60);
    ApplyLanguage();
    m_master.AddTrafficListener(&m_buffer);
    m_timer.start(kRefreshMs);
}

CTrafficWindow::~CTrafficWindow() {
    m_timer.stop();
    m_master.RemoveTrafficListener(&m_buffer);
}

void CTrafficWindow::ApplyLanguage() {
    setWindowTitle(Text("traffic.title"));
    m_pause->setText(Text("traffic.pause"));
    m_clear->setText(Text("traffic.clear"));
    m_copy->setText(Text("traffic.copy"));
    m_save->setText(Text("traffic.save"));
    m_model.RefreshTitles();
    m_stats->setText(ToQ(modbus::StatisticsText(m_master.Statistics())));
}

void CTrafficWindow::Refresh() {
    m_stats->setText(ToQ(modbus::StatisticsText(m_master.Statistics())));
    if (m_paused) return;
    std::vector<modbus::TrafficEntry> entries = m_buffer.Take();
    if (entries.empty()) return;
    // Follow the newest entries only while the user has not scrolled away from them.
    QScrollBar* bar = m_view->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    m_model.Append(std::move(entries));
    if (atEnd) m_view->scrollToBottom();
}

void CTrafficWindow::SetPaused(bool paused) {
    m_paused = paused;
    if (m_pause->isChecked() != paused) m_pause->setChecked(paused);
    // Entries keep arriving in the buffer meanwhile and show when the list goes on.
    if (!paused) Refresh();
}

void CTrafficWindow::ClearAll() {
    m_buffer.Take();
    m_model.Clear();
    m_master.ResetStatistics();
    Refresh();
}

QString CTrafficWindow::SelectionText() const {
    QModelIndexList rows = m_view->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QString text;
    for (const QModelIndex& row : rows)
        text += ToQ(modbus::FormatTrafficLine(m_model.At(row.row()))) + '\n';
    return text;
}

void CTrafficWindow::CopySelection() {
    const QString text = SelectionText();
    if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

bool CTrafficWindow::SaveTo(const std::string& path) {
    std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
    for (int row = 0; out && row < m_model.rowCount(); ++row)
        out << modbus::FormatTrafficLine(m_model.At(row)) << '\n';
    out.flush();
    if (out) return true;
    const int error = errno;
    ShowError(this,
              CPrivateException(CPrivateException::Key{"traffic.saveerr"},
                                {path, CMessageFormatter(error ? error : EIO).Text()})
                  .Message(),
              MessageIcon::Error);
    return false;
}

void CTrafficWindow::Save() {
    const QString title = Text("traffic.save");
    const QString filter = FileDialogFilter(g_resources.GetMessageText("traffic.savefilter"));
    std::string path;
    if (m_fileChooser) {
        path = m_fileChooser(title, filter);
    } else {
        QFileDialog dialog(this, title, FileDialogFolder(), filter);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix("txt");
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            path = FromQ(dialog.selectedFiles().first());
    }
    RememberFileDialogFolder(path);
    if (!path.empty()) SaveTo(path);
}
