#include "ui/in_place_editors.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QPushButton>
#include <algorithm>
#include <cctype>
#include <cstdint>

#include "ui/popup_window.h"
#include "ui/window_utils.h"

// Hiding a widget that holds the focus sends the focus along the tab chain, to whatever control
// comes next; the user was working in the list, so the list takes it.
void ReturnFocusToList(QWidget* editor) {
    const QWidget* focus = editor->window()->focusWidget();
    if (!focus || (focus != editor && !editor->isAncestorOf(focus))) return;
    for (QWidget* w = editor->parentWidget(); w; w = w->parentWidget()) {
        if (w->focusPolicy() != Qt::NoFocus) {
            w->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

// ---- text editor ----

CEditText::CEditText(QWidget* parent) : QLineEdit(parent) {
    setObjectName("textEditor");
    setMaxLength(kMaxLength);
    setFrame(false);
    hide();
    connect(this, &QLineEdit::textChanged, this, [this] { UpdateByteCount(); });
}

void CEditText::SetByteCounter(bool on, int limit, bool hexKey) {
    m_byteCounter = on;
    m_byteLimit = limit;
    m_hexKey = hexKey;
    if (!on) DropPopup();
}

// The pop-up is a sibling under the viewport: Qt may be walking the viewport's children when the
// editor hears of a hide, so the pop-up is hidden at once and deleted once that walk is over.
void CEditText::DropPopup() {
    if (!m_popup) return;
    m_popup->hide();
    m_popup->deleteLater();
    m_popup = nullptr;
}

bool CEditText::CaretAtStart() const {
    return !hasSelectedText() && cursorPosition() == 0;
}

bool CEditText::CaretAtEnd() const {
    return !hasSelectedText() && cursorPosition() == text().size();
}

void CEditText::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return End(true, NAV_NONE);
        case Qt::Key_Up:
            return End(true, NAV_UP);
        case Qt::Key_Down:
            return End(true, NAV_DOWN);
        case Qt::Key_Left:
            if (CaretAtStart()) return End(true, NAV_LEFT);
            if (CollapseSelection(event, selectionStart())) return;
            break;
        case Qt::Key_Right:
            if (CaretAtEnd()) return End(true, NAV_RIGHT);
            if (CollapseSelection(event, selectionEnd())) return;
            break;
        default:
            break;
    }
    QLineEdit::keyPressEvent(event);
}

// An arrow key on a selection puts the caret at that side of it, as edit fields commonly do, so
// that Left on the freshly opened, fully selected text goes to the start instead of committing.
bool CEditText::CollapseSelection(const QKeyEvent* event, int position) {
    if (!hasSelectedText() || event->modifiers() != Qt::NoModifier) return false;
    setCursorPosition(position);
    return true;
}

// Committing leaves the editor shown; the list decides what follows.
void CEditText::End(bool committed, int navigation) {
    m_committed = committed;
    m_navigation = navigation;
    Notify(this);
}

void CEditText::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    // A pop-up menu of the editor itself is not the end of the edit, nor is the window losing
    // the focus (minimised, another program): the text is still there when the user comes back.
    if (event->reason() == Qt::PopupFocusReason || event->reason() == Qt::ActiveWindowFocusReason ||
        !isVisible())
        return;
    hide();
    End(false, NAV_NONE);
}

void CEditText::hideEvent(QHideEvent* event) {
    QLineEdit::hideEvent(event);
    // Minimising hides the window's widgets only for a while: the pop-up comes back with them.
    if (event->spontaneous()) return;
    DropPopup();
}

void CEditText::UpdateByteCount() {
    if (!m_byteCounter || !isVisible()) return;
    if (!m_popup) CreatePopup();
    int bytes = static_cast<int>(text().toUtf8().size());
    if (m_hexKey) {
        // Two hex digits make one byte of the key.
        int digits = 0;
        for (QChar c : text()) digits += isxdigit(c.unicode()) && c.unicode() < 128 ? 1 : 0;
        bytes = (digits + 1) / 2;
    }
    m_popup->SetLimit(m_byteLimit);
    m_popup->SetCount(bytes);
}

// Below the editor's lower-left corner; above it when the list has no room below.
void CEditText::CreatePopup() {
    m_popup = new CPopupWindow(parentWidget(), x(), geometry().bottom() + 1);
    if (parentWidget() && m_popup->geometry().bottom() > parentWidget()->height())
        m_popup->move(x(), y() - m_popup->height());
}

// ---- drop-down list ----

CEditComboBox::CEditComboBox(QWidget* parent) : QComboBox(parent) {
    setObjectName("comboEditor");
    setMaxVisibleItems(20);
    hide();
    connect(this, &QComboBox::activated, this, [this] { End(true); });
}

int CEditComboBox::SelectedValue() const {
    return currentData().toInt();
}

void CEditComboBox::End(bool committed) {
    if (!isVisible() || m_ending) return;
    // Handing the focus to the list makes this box lose it; that is no second end.
    m_ending = true;
    ReturnFocusToList(this);
    hide();
    m_ending = false;
    m_committed = committed;
    Notify(this);
}

// The popup closes before a choice is reported, so whether it closed without one is known
// only once the event that closed it has been handled.
void CEditComboBox::hidePopup() {
    QComboBox::hidePopup();
    QMetaObject::invokeMethod(this, &CEditComboBox::OnPopupClosed, Qt::QueuedConnection);
}

void CEditComboBox::OnPopupClosed() {
    if (view()->isVisible()) return;
    End(false);
}

void CEditComboBox::focusOutEvent(QFocusEvent* event) {
    QComboBox::focusOutEvent(event);
    if (event->reason() == Qt::PopupFocusReason || view()->isVisible()) return;
    End(false);
}

// ---- channel-set editor ----

namespace {
constexpr int kColumnX[] = {4, 38, 72, 106, 140};
constexpr int kRowsPerColumn = 10;
}  // namespace

CEditChannel::CEditChannel(QWidget* parent) : QFrame(parent) {
    setObjectName("channelEditor");
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::StrongFocus);
    for (int n = 1; n <= kChannels; ++n) {
        auto* box = new QCheckBox(QString::number(n), this);
        box->setObjectName(QString("channel%1").arg(n));
        connect(box, &QCheckBox::clicked, this, [this] { ApplyLimit(); });
        m_boxes[static_cast<size_t>(n - 1)] = box;
    }
    m_ok = new QPushButton(ToQ(g_resources.GetGuiText(137, 1)), this);
    if (m_ok->text().isEmpty()) m_ok->setText("OK");
    m_ok->setObjectName("channelOk");
    m_ok->setDefault(true);
    connect(m_ok, &QPushButton::clicked, this, [this] { Accept(); });
    m_focusWatch.setInterval(100);
    connect(&m_focusWatch, &QTimer::timeout, this, [this] { WatchFocus(); });
    hide();
}

QCheckBox* CEditChannel::Box(int channel) const {
    return channel >= 1 && channel <= kChannels ? m_boxes[static_cast<size_t>(channel - 1)]
                                                : nullptr;
}

// Sizes in dialog units of the list's font, as the layout was drawn.
void CEditChannel::Layout() {
    const QFont f = font();
    resize(DluX(f, 171), DluY(f, 136));
    for (int k = 0; k < kChannels; ++k) {
        const int x = kColumnX[k / kRowsPerColumn];
        const int y = 4 + 10 * (k % kRowsPerColumn);
        m_boxes[static_cast<size_t>(k)]->setGeometry(DluX(f, x), DluY(f, y), DluX(f, 30),
                                                     DluY(f, 10));
    }
    m_ok->setGeometry(DluX(f, 114), DluY(f, 115), DluX(f, 50), DluY(f, 14));
}

void CEditChannel::SetRange(int lowest, int highest) {
    m_lowest = std::clamp(lowest, 1, kChannels);
    m_highest = std::clamp(highest, m_lowest, kChannels);
}

void CEditChannel::Start() {
    Layout();
    uint64_t chosen = 0;
    for (uint16_t w : m_value.Words())
        if (w >= 1 && w <= kChannels) chosen |= uint64_t{1} << (w - 1);
    for (int n = 1; n <= kChannels; ++n) {
        QCheckBox* box = Box(n);
        box->setVisible(InRange(n));
        box->setChecked(InRange(n) && (chosen >> (n - 1) & 1));
    }
    ApplyLimit();
    m_committed = false;
    m_focusWatch.start();
    // Channel 1 may lie outside the range; the first shown box takes the focus.
    Box(m_lowest)->setFocus(Qt::OtherFocusReason);
}

// At most ten channels: with ten checked, only they stay enabled.
void CEditChannel::ApplyLimit() {
    int checked = 0;
    for (QCheckBox* box : m_boxes) checked += box->isChecked() ? 1 : 0;
    for (QCheckBox* box : m_boxes) box->setEnabled(checked < kMaxChosen || box->isChecked());
}

void CEditChannel::Accept() {
    const size_t words = std::min<size_t>(m_value.Count(), kMaxChosen);
    size_t next = 0;
    for (int n = 1; n <= kChannels && next < words; ++n)
        if (Box(n)->isChecked()) m_value.SetWord(next++, static_cast<uint16_t>(n));
    for (size_t i = next; i < m_value.Count(); ++i) m_value.SetWord(i, 0);
    m_committed = true;
    m_focusWatch.stop();
    ReturnFocusToList(this);
    hide();
    Notify(this);
}

void CEditChannel::Cancel() {
    m_committed = false;
    m_focusWatch.stop();
    ReturnFocusToList(this);
    hide();
    Notify(this);
}

void CEditChannel::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
            return Cancel();
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return Accept();
        default:
            QFrame::keyPressEvent(event);
    }
}

// The user has clicked elsewhere (or gone to another window): the edit ends quietly.
void CEditChannel::WatchFocus() {
    const QWidget* focus = QApplication::focusWidget();
    if (focus && (focus == this || focus->parentWidget() == this)) return;
    m_committed = false;
    m_focusWatch.stop();
    // Another window is active: on the way back the focus goes to the list, not along the chain.
    ReturnFocusToList(this);
    hide();
}
