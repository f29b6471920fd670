#include "ui/par_edit.h"

#include <QWidget>

// The editors inherit the list's font, so a font applied to the dialog later reaches them too.
void CParEdit::Create(QWidget* viewport) {
    m_textEdit = new CEditText(viewport);
    m_combo = new CEditComboBox(viewport);
    m_channel = new CEditChannel(viewport);
    m_textEdit->AddObserver(this);
    m_combo->AddObserver(this);
    m_channel->AddObserver(this);
}

// Hidden editors notify nobody: whatever was typed is abandoned silently.
void CParEdit::HideAll() {
    if (!m_textEdit) return;
    m_hiding = true;
    for (QWidget* editor : {static_cast<QWidget*>(m_combo), static_cast<QWidget*>(m_textEdit),
                            static_cast<QWidget*>(m_channel)}) {
        ReturnFocusToList(editor);
        editor->hide();
    }
    m_hiding = false;
}

bool CParEdit::IsEditing() const {
    return m_textEdit &&
           (m_combo->isVisible() || m_textEdit->isVisible() || m_channel->isVisible());
}

void CParEdit::Update(CObservable* source) {
    if (m_hiding) return;
    if (source == m_combo) {
        m_listValue = m_combo->SelectedValue();
        m_result = m_combo->Committed() ? EDIT_LIST : EDIT_NONE;
        m_navigation = NAV_NONE;
    } else if (source == m_textEdit) {
        m_text = m_textEdit->text();
        m_result = m_textEdit->Committed() ? EDIT_TEXT : EDIT_NONE;
        m_navigation = m_textEdit->Navigation();
    } else if (source == m_channel) {
        m_channelValue = m_channel->Value();
        m_result = m_channel->Committed() ? EDIT_CHANNELS : EDIT_NONE;
        m_navigation = NAV_NONE;
    } else {
        return;
    }
    Notify(this);
}
