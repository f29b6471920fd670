// The parameter list's companion: owns the editors, hears how an edit ended and records the
// outcome in one place for the list.
#pragma once

#include <QString>

#include "concurrency/observer.h"
#include "model/par_definition.h"
#include "ui/in_place_editors.h"

enum EditResult { EDIT_NONE = 0, EDIT_LIST = 1, EDIT_TEXT = 2, EDIT_CHANNELS = 3 };

class CParEdit : public CObserver, public CObservable {
public:
    CParEdit() = default;

    // Creates the editors as hidden children of the list's viewport, in the list's font.
    void Create(QWidget* viewport);
    void HideAll();
    bool IsEditing() const;

    void Update(CObservable* source) override;

    int Result() const { return m_result; }
    int ListValue() const { return m_listValue; }
    const QString& Text() const { return m_text; }
    int Navigation() const { return m_navigation; }
    const CParValue& ChannelValue() const { return m_channelValue; }

    CEditComboBox* ComboBox() const { return m_combo; }
    CEditText* TextEditor() const { return m_textEdit; }
    CEditChannel* ChannelEditor() const { return m_channel; }

private:
    int m_result = EDIT_NONE;
    int m_listValue = 0;
    QString m_text;
    int m_navigation = NAV_NONE;
    CParValue m_channelValue;
    bool m_hiding = false;
    // Children of the viewport: Qt deletes them with it.
    CEditComboBox* m_combo = nullptr;
    CEditText* m_textEdit = nullptr;
    CEditChannel* m_channel = nullptr;
};
