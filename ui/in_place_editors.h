// The editors that the parameter list lays over a value cell: a one-line text editor, a
// drop-down list and a channel-set editor. Each decides by itself when editing ends and tells
// its observer whether it ended by committing or abandoning; none touches the parameter.
#pragma once

#include <QComboBox>
#include <QFrame>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <array>

#include "concurrency/observer.h"
#include "model/par_definition.h"
#include "ui/popup_window.h"

class QCheckBox;
class QPushButton;

// Gives the focus to the list under the editor when the editor (or one of its boxes) holds its
// window's focus; call it before hiding an editor.
void ReturnFocusToList(QWidget* editor);

enum EditNavigation { NAV_NONE = 0, NAV_DOWN = 1, NAV_UP = 2, NAV_LEFT = 3, NAV_RIGHT = 4 };

class CEditText : public QLineEdit, public CObservable {
    Q_OBJECT
public:
    static constexpr int kMaxLength = 99;

    explicit CEditText(QWidget* parent);

    bool Committed() const { return m_committed; }
    int Navigation() const { return m_navigation; }
    // limit: the bytes the parameter holds; hexKey counts the bytes that hex digits make.
    void SetByteCounter(bool on, int limit = 0, bool hexKey = false);
    // Shows the UTF-8 byte count of the text below the editor while the counter is on.
    void UpdateByteCount();
    // The pop-up while it is shown, else null.
    CPopupWindow* Popup() const { return m_popup; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void End(bool committed, int navigation);
    bool CaretAtStart() const;
    bool CaretAtEnd() const;
    bool CollapseSelection(const QKeyEvent* event, int position);
    void CreatePopup();
    void DropPopup();

    bool m_committed = false;
    int m_navigation = NAV_NONE;
    bool m_byteCounter = false;
    int m_byteLimit = 0;
    bool m_hexKey = false;
    QPointer<CPopupWindow> m_popup;
};

class CEditComboBox : public QComboBox, public CObservable {
    Q_OBJECT
public:
    explicit CEditComboBox(QWidget* parent);

    bool Committed() const { return m_committed; }
    // The list value of the chosen entry.
    int SelectedValue() const;
    void hidePopup() override;

protected:
    void focusOutEvent(QFocusEvent* event) override;

private:
    void End(bool committed);
    void OnPopupClosed();

    bool m_committed = false;
    bool m_ending = false;
};

class CEditChannel : public QFrame, public CObservable {
    Q_OBJECT
public:
    static constexpr int kChannels = 43;
    static constexpr int kMaxChosen = 10;

    explicit CEditChannel(QWidget* parent);

    // The parameter's range and a copy of its value, then Start shows the boxes and watches the
    // focus.
    void SetRange(int lowest, int highest);
    void SetValue(const CParValue& value) { m_value = value; }
    const CParValue& Value() const { return m_value; }
    bool Committed() const { return m_committed; }
    void Start();

    QCheckBox* Box(int channel) const;
    QPushButton* OkButton() const { return m_ok; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Layout();
    void ApplyLimit();
    void Accept();
    void Cancel();
    void WatchFocus();
    bool InRange(int channel) const { return channel >= m_lowest && channel <= m_highest; }

    CParValue m_value;
    QTimer m_focusWatch;
    bool m_committed = false;
    int m_lowest = 1;
    int m_highest = kChannels;
    std::array<QCheckBox*, kChannels> m_boxes{};
    QPushButton* m_ok = nullptr;
};
