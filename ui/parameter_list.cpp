#include "ui/parameter_list.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>
#include <exception>

#include "app/private_exception.h"
#include "model/value_check.h"
#include "ui/window_utils.h"

namespace {

// Item data of column 0: the parameter index of a row and its position among the rows.
constexpr int kParameterRole = Qt::UserRole;
constexpr int kRowRole = Qt::UserRole + 1;
// The text last written into a cell, so that Refresh writes only what changed in the model.
constexpr int kWrittenRole = Qt::UserRole + 2;

constexpr int kMaxListEntries = 1000;
constexpr double kLabelShare = 0.49;

enum class EditorKind { None, List, Text, Channels };

EditorKind EditorFor(uint32_t type) {
    switch (type) {
        case PAR_LIST16:
        case PAR_LIST32:
            return EditorKind::List;
        case PAR_TEXT:
        case PAR_NAME:
        case PAR_IPV4:
        case PAR_UINT16:
        case PAR_INT16:
        case PAR_UINT32_HEX:
        case PAR_UINT32:
        case PAR_HEX16:
        case PAR_KEY128:
            return EditorKind::Text;
        case PAR_CHANNELS:
            return EditorKind::Channels;
        default:
            return EditorKind::None;
    }
}

int ShadeChannel(int channel, double fraction, bool light) {
    const double v = light ? channel * (1.0 - fraction) : channel * (1.0 + fraction);
    return std::min(255, static_cast<int>(v));
}

// Asks the list at paint time, so dimming follows the model's locks without a Refresh.
class CParameterDelegate : public QStyledItemDelegate {
public:
    explicit CParameterDelegate(CParameterListCtrl* list)
        : QStyledItemDelegate(list), m_list(list) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(std::max(size.height(), option.fontMetrics.height() + 8));
        return size;
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const QModelIndex first = index.siblingAtColumn(0);
        const QVariant parameter = first.data(kParameterRole);
        if (!parameter.isValid()) return;  // a group heading
        QPalette& palette = option->palette;
        if (m_list->IsDim(parameter.toInt()))
            palette.setColor(QPalette::Text, palette.color(QPalette::Disabled, QPalette::Text));
        if (m_list->IsInvalid(parameter.toInt())) {
            palette.setColor(QPalette::Text, QColor(200, 0, 0));
            palette.setColor(QPalette::HighlightedText, QColor(255, 200, 200));
        }
        if (index.column() == 1) {
            const bool odd = first.data(kRowRole).toInt() % 2 != 0;
            option->backgroundBrush = Shade(palette.color(QPalette::Base), odd ? 0.1 : 0.05);
        }
    }

private:
    CParameterListCtrl* m_list;
};

}  // namespace

QColor Shade(const QColor& colour, double fraction) {
    const bool light = colour.red() + colour.green() + colour.blue() >= 384;
    return QColor(ShadeChannel(colour.red(), fraction, light),
                  ShadeChannel(colour.green(), fraction, light),
                  ShadeChannel(colour.blue(), fraction, light));
}

CParameterListCtrl::CParameterListCtrl(QWidget* parent) : QTreeWidget(parent) {
    setObjectName("parameterList");
    setColumnCount(2);
    setHeaderHidden(true);
    setRootIsDecorated(false);
    FitIndent();
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);
    header()->setStretchLastSection(false);
    setItemDelegate(new CParameterDelegate(this));
    m_edit.Create(viewport());
    m_edit.AddObserver(this);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &CParameterListCtrl::HideEditors);
    connect(this, &QTreeWidget::itemClicked, this, &CParameterListCtrl::OnItemClicked);
    connect(this, &QTreeWidget::itemDoubleClicked, this, &CParameterListCtrl::OnItemClicked);
}

// Tearing down the items moves the scroll bar; the editors must not hear of it any more.
CParameterListCtrl::~CParameterListCtrl() {
    verticalScrollBar()->disconnect(this);
    disconnect(this, nullptr, this, nullptr);
}

void CParameterListCtrl::Initialize() {
    ClearRows();
    FitColumns();
}

void CParameterListCtrl::SetModel(std::shared_ptr<CDevInterface> model, bool clearRows) {
    m_model = std::move(model);
    if (clearRows) ClearRows();
    Refresh();
}

void CParameterListCtrl::ClearRows() {
    HideEditors();
    clear();
    m_rows.clear();
    m_groups.clear();
}

// ---- Refresh ----

void CParameterListCtrl::Refresh() {
    const bool updates = updatesEnabled();
    setUpdatesEnabled(false);
    int row = 0;
    int group = -1;
    int ungrouped = 0;  // rows before the first heading stand at the top level
    int position = 0;
    const int count = m_model ? m_model->Count() : 0;
    m_problems.assign(static_cast<size_t>(count), std::string());
    m_refusedValues.assign(static_cast<size_t>(count), std::string());
    if (m_model) {
        for (const ValueProblem& problem : CheckValues(*m_model)) {
            m_problems[static_cast<size_t>(problem.index)] = DescribeProblem(problem);
            m_refusedValues[static_cast<size_t>(problem.index)] = problem.value;
        }
    }
    for (int i = 0; i < count; ++i) {
        const CParInterface& p = m_model->At(i);
        if (p.Type() == PAR_GROUP) {
            ++group;
            RefreshGroup(group, ungrouped + group, p.GetLabel());
            position = 0;
            continue;
        }
        QTreeWidgetItem* parent = group >= 0 ? m_groups[static_cast<size_t>(group)] : nullptr;
        RefreshRow(row++, parent, position++, i);
        if (group < 0) ++ungrouped;
    }
    TrimRows(row);
    TrimGroups(group + 1);
    setUpdatesEnabled(updates);
    m_forceText = false;
    FitColumns();
    viewport()->update();
}

void CParameterListCtrl::RefreshGroup(int group, int topPosition, const std::string& label) {
    if (group >= static_cast<int>(m_groups.size())) {
        auto* item = new QTreeWidgetItem;
        item->setFlags(Qt::ItemIsEnabled);
        QFont bold = font();
        bold.setBold(true);
        item->setFont(0, bold);
        m_groups.push_back(item);
    }
    QTreeWidgetItem* item = m_groups[static_cast<size_t>(group)];
    Place(item, nullptr, topPosition);
    WriteText(item, 0, ToQ(label));
    // Both are lost when an item is taken out and put back.
    item->setFirstColumnSpanned(true);
    item->setExpanded(true);
}

void CParameterListCtrl::RefreshRow(int row, QTreeWidgetItem* parent, int position, int index) {
    if (row >= RowCount()) {
        auto* item = new QTreeWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        m_rows.push_back(item);
    }
    QTreeWidgetItem* item = m_rows[static_cast<size_t>(row)];
    Place(item, parent, position);
    item->setData(0, kParameterRole, index);
    item->setData(0, kRowRole, row);
    const CParInterface& p = m_model->At(index);
    WriteText(item, 0, ToQ(p.GetLabel()));
    QString text = ToQ(m_model->AdjustText(index, p.GetDisplayText()));
    // A list value without an entry has no text of its own: the raw value stands in.
    if (text.isEmpty()) text = ToQ(m_refusedValues[static_cast<size_t>(index)]);
    WriteText(item, 1, text);
    const QString problem = ToQ(m_problems[static_cast<size_t>(index)]);
    if (item->toolTip(1) != problem) item->setToolTip(1, problem);
}

// Moves an item under parent (null: the top level) at position, unless it is there already.
void CParameterListCtrl::Place(QTreeWidgetItem* item, QTreeWidgetItem* parent, int position) {
    QTreeWidgetItem* current = item->parent();
    const int at = current ? current->indexOfChild(item) : indexOfTopLevelItem(item);
    if (at >= 0 && current == parent && at == position) return;
    if (current)
        current->takeChild(at);
    else if (at >= 0)
        takeTopLevelItem(at);
    if (parent)
        parent->insertChild(position, item);
    else
        insertTopLevelItem(position, item);
}

void CParameterListCtrl::WriteText(QTreeWidgetItem* item, int column, const QString& text) {
    if (!m_forceText && item->data(column, kWrittenRole).toString() == text) return;
    item->setText(column, text);
    item->setData(column, kWrittenRole, text);
}

void CParameterListCtrl::TrimRows(int count) {
    if (RowCount() > count) HideEditors();
    while (RowCount() > count) {
        delete m_rows.back();
        m_rows.pop_back();
    }
}

void CParameterListCtrl::TrimGroups(int count) {
    while (static_cast<int>(m_groups.size()) > count) {
        delete m_groups.back();
        m_groups.pop_back();
    }
}

void CParameterListCtrl::FitColumns() {
    const int width = viewport()->width();
    const int label = static_cast<int>(width * kLabelShare);
    header()->resizeSection(0, label);
    header()->resizeSection(1, width - label);
}

void CParameterListCtrl::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    FitColumns();
}

// Rows stand under their heading by the width of four spaces of the list's own font, in pixels:
// spaces inside the label would take the width of whatever font draws the label's first letter.
void CParameterListCtrl::FitIndent() {
    setIndentation(4 * fontMetrics().horizontalAdvance(QLatin1Char(' ')));
}

void CParameterListCtrl::changeEvent(QEvent* event) {
    QTreeWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) FitIndent();
}

// The indent belongs to the label cell: its background, highlighted with its row.
void CParameterListCtrl::drawBranches(QPainter* painter, const QRect& rect,
                                      const QModelIndex& index) const {
    const bool selected = selectionModel() && selectionModel()->isSelected(index);
    const QPalette::ColorGroup group = isActiveWindow() ? QPalette::Active : QPalette::Inactive;
    painter->fillRect(rect,
                      palette().brush(group, selected ? QPalette::Highlight : QPalette::Base));
}

// ---- rows ----

QTreeWidgetItem* CParameterListCtrl::RowItem(int row) const {
    return row >= 0 && row < RowCount() ? m_rows[static_cast<size_t>(row)] : nullptr;
}

int CParameterListCtrl::SelectedRow() const {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    if (selected.isEmpty()) return -1;
    const QVariant row = selected.first()->data(0, kRowRole);
    return row.isValid() ? row.toInt() : -1;
}

void CParameterListCtrl::SelectRow(int row) {
    if (QTreeWidgetItem* item = RowItem(row)) setCurrentItem(item, 1);
}

int CParameterListCtrl::ParameterOfRow(int row) const {
    const QTreeWidgetItem* item = RowItem(row);
    return item ? item->data(0, kParameterRole).toInt() : -1;
}

int CParameterListCtrl::RowOfParameter(int index) const {
    for (int row = 0; row < RowCount(); ++row)
        if (ParameterOfRow(row) == index) return row;
    return -1;
}

QRect CParameterListCtrl::ValueRect(int row) const {
    const QTreeWidgetItem* item = RowItem(row);
    return item ? visualRect(indexFromItem(item, 1)) : QRect();
}

bool CParameterListCtrl::IsDim(int index) const {
    if (m_locked) return true;
    if (!m_model || index < 0 || index >= m_model->Count()) return false;
    const bool operation = (m_model->At(index).Flags() & PARF_OPERATION) != 0;
    return m_model->IsLocked(index) || (operation && !m_operationsEnabled);
}

bool CParameterListCtrl::IsInvalid(int index) const {
    return index >= 0 && index < static_cast<int>(m_problems.size()) &&
           !m_problems[static_cast<size_t>(index)].empty();
}

bool CParameterListCtrl::CanEdit(int index) const {
    if (!m_model || index < 0 || index >= m_model->Count() || IsDim(index)) return false;
    return (m_model->At(index).Flags() & PARF_READONLY) == 0;
}

void CParameterListCtrl::SetLocked(bool locked) {
    m_locked = locked;
    if (locked) HideEditors();
    viewport()->update();
}

void CParameterListCtrl::SetOperationsEnabled(bool enabled) {
    m_operationsEnabled = enabled;
    if (!CanEdit(m_editIndex)) HideEditors();
    viewport()->update();
}

CParValue CParameterListCtrl::PopOperation() {
    if (m_pendingOperations.empty()) return {};
    CParValue value = m_pendingOperations.front();
    m_pendingOperations.pop_front();
    return value;
}

// ---- opening and hiding editors ----

void CParameterListCtrl::OpenEditor(int row, bool keepText) {
    if (m_locked || !m_model) return;
    if (row < 0) row = SelectedRow();
    const int index = ParameterOfRow(row);
    if (index < 0 || !CanEdit(index)) return;
    const EditorKind kind = EditorFor(m_model->At(index).Type());
    if (kind == EditorKind::None) return;
    if (row != SelectedRow()) SelectRow(row);
    scrollToItem(RowItem(row));  // hides any open editor; its text stays for keepText
    m_editIndex = index;
    m_editRect = ValueRect(row);
    const CParInterface& p = m_model->At(index);
    switch (kind) {
        case EditorKind::List:
            return OpenList(p);
        case EditorKind::Text:
            return OpenText(p, keepText);
        case EditorKind::Channels:
            return OpenChannels(p);
        case EditorKind::None:
            return;
    }
}

void CParameterListCtrl::OpenList(const CParInterface& p) {
    textEditor()->hide();
    channelEditor()->hide();
    CEditComboBox* combo = comboEditor();
    combo->clear();
    const std::string current = p.GetText();
    for (int position = 0; position < kMaxListEntries; ++position) {
        const int32_t value = p.GetListValue(position);
        const std::string text = p.FormatNumber(value);
        if (text.empty()) break;
        combo->addItem(ToQ(text), value);
        // The first entry is the default; a later equal entry wins.
        if (position == 0 || text == current) combo->setCurrentIndex(position);
    }
    QRect cell = m_editRect;
    cell.setHeight(std::max(cell.height(), combo->sizeHint().height()));
    combo->setGeometry(cell);
    combo->show();
    combo->raise();
    combo->setFocus(Qt::OtherFocusReason);
    combo->showPopup();
}

void CParameterListCtrl::OpenText(const CParInterface& p, bool keepText) {
    comboEditor()->hide();
    channelEditor()->hide();
    CEditText* edit = textEditor();
    const bool key = p.Type() == PAR_KEY128;
    edit->SetByteCounter(p.IsStringLike(), key ? 16 : static_cast<int>(p.Definition().maximum),
                         key);
    edit->setGeometry(m_editRect);
    edit->show();
    edit->raise();
    if (!keepText) edit->setText(ToQ(p.GetText()));
    edit->UpdateByteCount();
    edit->selectAll();
    edit->setFocus(Qt::OtherFocusReason);
}

// The editor keeps its own size; it is moved up where the cell lies too low to show it whole.
void CParameterListCtrl::OpenChannels(const CParInterface& p) {
    comboEditor()->hide();
    textEditor()->hide();
    CEditChannel* channels = channelEditor();
    const int64_t range = p.Minimum();
    channels->SetRange(static_cast<int>(range & 0xFFFF), static_cast<int>((range >> 16) & 0xFFFF));
    channels->SetValue(p.Value());
    channels->show();
    channels->raise();
    channels->Start();
    const QRect area = viewport()->rect();
    const int x = std::max(0, std::min(m_editRect.left(), area.width() - channels->width()));
    const int y = std::max(0, std::min(m_editRect.top(), area.height() - channels->height()));
    channels->move(x, y);
}

void CParameterListCtrl::HideEditors() {
    m_edit.HideAll();
}

// ---- end of an edit ----

void CParameterListCtrl::Update(CObservable* source) {
    if (source != &m_edit) return;
    // Taking the focus back makes the editor report again; keep what this report said.
    const int result = m_edit.Result();
    const int navigation = m_edit.Navigation();
    if (result != EDIT_NONE && !Apply(result)) return;
    TakeFocusBack(result);
    if (result != EDIT_NONE && navigation != NAV_NONE) Navigate(navigation);
}

bool CParameterListCtrl::Apply(int result) {
    if (!m_model || m_editIndex < 0 || m_editIndex >= m_model->Count()) return true;
    CParInterface& p = m_model->At(m_editIndex);
    try {
        if (result == EDIT_LIST) p.SetNumber(m_edit.ListValue());
        if (result == EDIT_TEXT) p.SetText(FromQ(m_edit.Text()));
        if (result == EDIT_CHANNELS) p.SetValue(m_edit.ChannelValue());
        m_model->OnChanged(m_editIndex);
    } catch (const std::exception& e) {
        // The codec refused the text: say why and let the user correct what was typed.
        ShowError(this, e.what());
        OpenEditor(-1, true);
        return false;
    }
    if (p.Flags() & PARF_OPERATION) m_pendingOperations.push_back(p.Value());
    Refresh();
    Notify(this);
    emit Changed();
    m_forceText = true;
    return true;
}

// The list takes the focus back, unless the user moved it to another control of the window.
void CParameterListCtrl::TakeFocusBack(int result) {
    if (result != EDIT_NONE || !FocusIsElsewhere()) setFocus(Qt::OtherFocusReason);
    HideEditors();
}

// Only a control of this window that the user moved to keeps the focus. Another window keeps
// its own anyway: the list merely becomes the focus of its window for when the user returns.
bool CParameterListCtrl::FocusIsElsewhere() const {
    const QWidget* focus = window()->focusWidget();
    return focus && focus != this && !isAncestorOf(focus) && focus->isVisible();
}

void CParameterListCtrl::Navigate(int navigation) {
    const int selected = SelectedRow();
    if (selected < 0) return;
    const int step = navigation == NAV_DOWN ? 1 : navigation == NAV_UP ? -1 : 0;
    const int target = std::clamp(selected + step, 0, RowCount() - 1);
    SelectRow(target);
    scrollToItem(RowItem(target));
    OpenEditor(-1, false);
}

// ---- events ----

void CParameterListCtrl::OnItemClicked(QTreeWidgetItem* item, int column) {
    if (column != 1 || !item->data(0, kRowRole).isValid()) return;
    OpenEditor(item->data(0, kRowRole).toInt(), false);
}

void CParameterListCtrl::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        OpenEditor(-1, false);
        return event->accept();
    }
    if (key == Qt::Key_Escape && IsEditing()) {
        HideEditors();
        return event->accept();
    }
    const QString text = event->text();
    const bool printable =
        !text.isEmpty() && text.at(0).isPrint() &&
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    if (printable && !IsEditing()) {
        // Typing on a row starts its edit: the character replaces the selected old text.
        OpenEditor(-1, false);
        if (textEditor()->isVisible()) {
            QKeyEvent copy(event->type(), key, event->modifiers(), text, event->isAutoRepeat(),
                           event->count());
            QCoreApplication::sendEvent(textEditor(), &copy);
        }
        return event->accept();
    }
    QTreeWidget::keyPressEvent(event);
}

bool CParameterListCtrl::IsRowIndex(const QModelIndex& index) const {
    return index.isValid() && index.siblingAtColumn(0).data(kRowRole).isValid();
}

// The first row from `from` on (itself included) in the direction, or an invalid index.
QModelIndex CParameterListCtrl::NearestRow(QModelIndex from, bool down) const {
    while (from.isValid() && !IsRowIndex(from)) from = down ? indexBelow(from) : indexAbove(from);
    return from;
}

QModelIndex CParameterListCtrl::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const QModelIndex target = QTreeWidget::moveCursor(action, modifiers);
    if (!target.isValid() || IsRowIndex(target)) return target;
    const int column = std::max(0, currentIndex().column());
    bool down;
    switch (action) {
        case MoveDown:
        case MovePageDown:
        case MoveHome:
        case MoveNext:
            down = true;
            break;
        case MoveUp:
        case MovePageUp:
        case MoveEnd:
        case MovePrevious:
            down = false;
            break;
        default:
            // Left on a row would go to its heading: the row stays current.
            return IsRowIndex(currentIndex()) ? currentIndex() : NearestRow(target, true);
    }
    QModelIndex row = NearestRow(target, down);
    // Up from the first row, or Down from the last, stays on it.
    if (!row.isValid()) row = NearestRow(target, !down);
    return row.isValid() ? row.siblingAtColumn(column) : currentIndex();
}

void CParameterListCtrl::mousePressEvent(QMouseEvent* event) {
    const QModelIndex at = indexAt(event->position().toPoint());
    if (at.isValid() && !IsRowIndex(at)) {
        setFocus(Qt::MouseFocusReason);
        return event->accept();
    }
    QTreeWidget::mousePressEvent(event);
}

void CParameterListCtrl::wheelEvent(QWheelEvent* event) {
    HideEditors();
    QTreeWidget::wheelEvent(event);
}
