#pragma once

#include "substitutionlist.h"

#include <QPersistentModelIndex>
#include <QPointer>
#include <QString>
#include <QTableView>

#include <exception>
#include <string>
#include <vector>

class QLineEdit;
class ValueListModel;
class ValueListCellDelegate;
class ValueListSelection;

// The two-column grid that edits the substitution list in place. Every
// keystroke goes straight into the list, so whatever the window saves is
// what the user sees, except a key the list refused.
class TValueListEditor : public QTableView {
    Q_OBJECT
public:
    explicit TValueListEditor(QWidget *parent = nullptr);
    ~TValueListEditor() override;

    // "Neu...": appends an empty entry unless the current row already is one.
    void NewEntry();
    // "Löschen": removes the current row's entry; on the last row the
    // current row first moves up.
    void DeleteCurrentEntry();
    void LoadFromFile(const std::string &name);
    void SaveToFile(const std::string &name);
    // Entries of the file a save would drop that the grid never showed.
    size_t EntriesSaveWouldLose(const std::string &name) const { return list_.LinesUnseenInFile(name); }

    const SubstitutionList &Strings() const { return list_; }
    // The list differs from what was last loaded or saved (nothing at the start).
    bool Modified() const { return list_.Lines() != unchanged_; }
    // The current row; with an empty list the blank row 0.
    int CurrentRow() const;
    void SetCurrentRow(int row);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    void closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) override;
    bool focusNextPrevChild(bool next) override;

private:
    friend class ValueListCellDelegate;
    friend class ValueListSelection;

    // Grid keys, seen first by the open cell editor and else by the grid.
    bool HandleKey(QKeyEvent *event);
    void EditorCreated(QLineEdit *editor, const QModelIndex &index);
    void EditorLoaded(QLineEdit *editor, const QModelIndex &index, const QString &text);
    void CellTextEdited(QLineEdit *editor, const QPersistentModelIndex &index, const QString &text);
    void CellCommitted(const QModelIndex &index, const QString &text);
    void AfterCurrentSet(int from, int to);
    void ReportAfterClick(std::exception_ptr error, const QPersistentModelIndex &cell);
    // A refused duplicate: the entry gets back the key it had when the cell
    // opened, and the cell the focus.
    void RestoreKeyBeforeEdit(int row);
    void ReturnToCell(const QPersistentModelIndex &cell);
    // No cell lies beyond the current one in that Tab direction.
    bool AtTabEdge(bool forward) const;

    void ApplyKey(int row, const std::string &key);
    void ApplyValue(int row, const std::string &value);
    void CommitOpenEditor();
    void UndoOrDeleteEmpty();
    void InsertAboveCurrent();
    void AppendBelowLast();

    QLineEdit *OpenEditor() const;
    void DiscardEditor();
    void ReopenEditorIfFocused();
    void MoveTo(int row);

    SubstitutionList list_;
    std::vector<std::string> unchanged_;   // the lines as last loaded or saved
    ValueListModel *model_ = nullptr;
    ValueListCellDelegate *delegate_ = nullptr;

    QPointer<QLineEdit> editor_;
    QPersistentModelIndex editorIndex_;
    QString editorOriginal_;   // text when the editor opened, for Escape
    QString editorAccepted_;   // last text let through, to refuse a keystroke
    std::string refusedKey_;   // last duplicate typed, not stored
    int moveRuleSuspended_ = 0;
    int errorsAfterClick_ = 0;  // a refusal now is reported after the click that caused it
};
