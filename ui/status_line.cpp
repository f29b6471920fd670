#include "ui/status_line.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPalette>

namespace {
const QColor kErrorText(200, 0, 0);
const QColor kMarkerText(160, 80, 0);
}  // namespace

CStatusLine::CStatusLine(QWidget* parent)
    : QWidget(parent),
      m_origin(new QLabel(this)),
      m_outcome(new QLabel(this)),
      m_marker(new QLabel(this)) {
    setObjectName("statusLine");
    m_marker->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QPalette p = m_marker->palette();
    p.setColor(QPalette::WindowText, kMarkerText);
    m_marker->setPalette(p);
    QFont bold = m_marker->font();
    bold.setBold(true);
    m_marker->setFont(bold);
    m_marker->hide();
}

void CStatusLine::SetOrigin(const QString& text) {
    m_originText = text;
    Layout();
}

void CStatusLine::SetOutcome(const QString& text, bool error) {
    m_outcomeText = text;
    m_outcomeError = error;
    QPalette p = m_outcome->palette();
    p.setColor(QPalette::WindowText, error ? kErrorText : palette().color(QPalette::WindowText));
    m_outcome->setPalette(p);
    Layout();
}

void CStatusLine::SetModified(bool modified, const QString& marker) {
    m_modified = modified;
    m_marker->setText(marker);
    m_marker->setVisible(modified);
    Layout();
}

void CStatusLine::resizeEvent(QResizeEvent*) {
    Layout();
}

// Two rows: the origin with the marker at its right end, the outcome below.
void CStatusLine::Layout() {
    const int rowHeight = height() / 2;
    const int markerWidth = m_modified ? m_marker->sizeHint().width() + 8 : 0;
    m_marker->setGeometry(width() - markerWidth, 0, markerWidth, rowHeight);
    m_origin->setGeometry(0, 0, width() - markerWidth, rowHeight);
    m_outcome->setGeometry(0, rowHeight, width(), height() - rowHeight);
    Fit(m_origin, m_originText);
    Fit(m_outcome, m_outcomeText);
}

void CStatusLine::Fit(QLabel* label, const QString& text) {
    const QString shown =
        label->fontMetrics().elidedText(text, Qt::ElideRight, std::max(label->width(), 1));
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}
