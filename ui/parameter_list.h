// The list in which the user sees and edits the parameters of one model: a row per parameter
// with its label and value text, group headers as headings, and a typed editor over the value.
#pragma once

#include <QColor>
#include <QRect>
#include <QTreeWidget>
#include <list>
#include <memory>
#include <vector>

#include "concurrency/observer.h"
#include "model/dev_interface.h"
#include "ui/par_edit.h"

// A light colour darkened by the fraction, a dark one lightened.
QColor Shade(const QColor& colour, double fraction);

class CParameterListCtrl : public QTreeWidget, public CObserver, public CObservable {
    Q_OBJECT
public:
    explicit CParameterListCtrl(QWidget* parent = nullptr);
    ~CParameterListCtrl() override;

    // Deletes every row; the owning dialog calls it once its window is set up.
    void Initialize();
    // Shares the model (the old one is released); clearRows starts from an empty list.
    void SetModel(std::shared_ptr<CDevInterface> model, bool clearRows);
    const std::shared_ptr<CDevInterface>& Model() const { return m_model; }
    // Brings rows, groups and texts in line with the model, writing only texts that changed.
    void Refresh();

    // Opens the editor of a row (-1: the selected one); keepText keeps the editor's last text.
    void OpenEditor(int row, bool keepText);
    // Hides every editor; what was being typed is abandoned.
    void HideEditors();
    bool IsEditing() const { return m_edit.IsEditing(); }

    // The values of committed operation parameters, oldest first.
    CParValue PopOperation();
    bool HasPendingOperations() const { return !m_pendingOperations.empty(); }

    void SetLocked(bool locked);
    bool Locked() const { return m_locked; }
    void SetOperationsEnabled(bool enabled);
    bool OperationsEnabled() const { return m_operationsEnabled; }
    // The next Refresh rewrites every text.
    void SetForceText() { m_forceText = true; }

    // Rows are the parameter rows in display order; group headings are not rows.
    int RowCount() const { return static_cast<int>(m_rows.size()); }
    int SelectedRow() const;
    void SelectRow(int row);
    int ParameterOfRow(int row) const;
    int RowOfParameter(int index) const;
    QTreeWidgetItem* RowItem(int row) const;
    // The value cell of a row in viewport coordinates.
    QRect ValueRect(int row) const;
    // Drawn greyed: locked by the model or the list, or an operation while operations are off.
    bool IsDim(int index) const;
    // Holds a value its definition does not allow (a file or a device put it there): marked red.
    bool IsInvalid(int index) const;

    CEditText* textEditor() const { return m_edit.TextEditor(); }
    CEditComboBox* comboEditor() const { return m_edit.ComboBox(); }
    CEditChannel* channelEditor() const { return m_edit.ChannelEditor(); }

    // The end of an edit, reported by the editors' companion.
    void Update(CObservable* source) override;

signals:
    // A committed edit has been applied.
    void Changed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Up, Down, Page Up/Down, Home and End go from row to row over the group headings.
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    // A click on a group heading takes the focus but leaves the current row.
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void drawBranches(QPainter* painter, const QRect& rect,
                      const QModelIndex& index) const override;

private:
    bool CanEdit(int index) const;
    void ClearRows();
    void RefreshGroup(int group, int topPosition, const std::string& label);
    void RefreshRow(int row, QTreeWidgetItem* parent, int position, int index);
    void TrimRows(int count);
    void TrimGroups(int count);
    void Place(QTreeWidgetItem* item, QTreeWidgetItem* parent, int position);
    void WriteText(QTreeWidgetItem* item, int column, const QString& text);
    void FitColumns();
    void FitIndent();

    void OpenList(const CParInterface& p);
    void OpenText(const CParInterface& p, bool keepText);
    void OpenChannels(const CParInterface& p);

    bool Apply(int result);
    void TakeFocusBack(int result);
    bool FocusIsElsewhere() const;
    bool IsRowIndex(const QModelIndex& index) const;
    QModelIndex NearestRow(QModelIndex from, bool down) const;
    void Navigate(int navigation);
    void OnItemClicked(QTreeWidgetItem* item, int column);

    std::shared_ptr<CDevInterface> m_model;
    int m_editIndex = -1;
    std::list<CParValue> m_pendingOperations;
    CParEdit m_edit;
    QRect m_editRect;
    bool m_locked = false;
    bool m_forceText = false;
    bool m_operationsEnabled = false;
    std::vector<QTreeWidgetItem*> m_rows;
    std::vector<QTreeWidgetItem*> m_groups;
    std::vector<std::string> m_problems;  // by parameter index: why its value is refused, or ""
    std::vector<std::string> m_refusedValues;  // by parameter index: the refused value, or ""
};
