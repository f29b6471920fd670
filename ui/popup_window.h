// The small light-yellow note under the text editor that shows how many bytes the typed text
// will take in the device's registers.
#pragma once

#include <QString>
#include <QWidget>

#include "app/resource_database.h"

class CPopupWindow : public QWidget, public CResourceManager {
    Q_OBJECT
public:
    // A visible child of parent with its top-left corner at (x, y).
    CPopupWindow(QWidget* parent, int x, int y);

    void SetCount(int count);
    // With a limit the text reads "9 / 16 bytes"; 0 shows the count alone.
    void SetLimit(int limit);
    int Count() const { return m_count; }
    // The text as painted: "pup.limit" with the count and the limit, else "pup.count".
    QString Text() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void FitToText();

    int m_count = 0;
    int m_limit = 0;
};
