// The line at the bottom of the main window: where the model in the list came from, how the
// last command ended, and a marker while the list holds changes kept nowhere else.
#pragma once

#include <QString>
#include <QWidget>

class QLabel;

class CStatusLine : public QWidget {
public:
    explicit CStatusLine(QWidget* parent = nullptr);

    void SetOrigin(const QString& text);
    // An error's outcome is drawn in red.
    void SetOutcome(const QString& text, bool error = false);
    void SetModified(bool modified, const QString& marker);

    QString Origin() const { return m_originText; }
    QString Outcome() const { return m_outcomeText; }
    bool OutcomeIsError() const { return m_outcomeError; }
    bool Modified() const { return m_modified; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Layout();
    // A text too long for its place ends in an ellipsis; the whole text is the tool tip.
    static void Fit(QLabel* label, const QString& text);

    QLabel* m_origin;
    QLabel* m_outcome;
    QLabel* m_marker;
    QString m_originText;
    QString m_outcomeText;
    bool m_outcomeError = false;
    bool m_modified = false;
};
