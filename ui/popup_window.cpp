#include "ui/popup_window.h"

#include <QPainter>

#include "platform/message_format.h"
#include "ui/window_utils.h"

namespace {
const QColor kBackground(255, 255, 200);
}

CPopupWindow::CPopupWindow(QWidget* parent, int x, int y) : QWidget(parent) {
    setObjectName("popup");
    setFont(GetUIFont());
    setAttribute(Qt::WA_TransparentForMouseEvents);
    move(x, y);
    FitToText();
    show();
    raise();
}

QString CPopupWindow::Text() const {
    if (m_limit > 0) {
        const std::string limited = g_resources.GetMessageText("pup.limit");
        if (!limited.empty())
            return ToQ(platform::FormatMessageText(limited, {int32_t{m_count}, int32_t{m_limit}}));
    }
    const std::string templ = g_resources.GetMessageText("pup.count");
    return ToQ(platform::FormatMessageText(templ, {int32_t{m_count}}));
}

void CPopupWindow::SetLimit(int limit) {
    m_limit = limit;
    FitToText();
    update();
}

void CPopupWindow::SetCount(int count) {
    m_count = count;
    FitToText();
    update();
}

// The window always has exactly the size of its text, so it grows only when the text does.
void CPopupWindow::FitToText() {
    const QSize size = fontMetrics().size(Qt::TextSingleLine, Text());
    if (size != this->size()) resize(size);
}

void CPopupWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
    painter.setPen(Qt::black);
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, Text());
}
