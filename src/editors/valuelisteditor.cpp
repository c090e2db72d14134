#include "valuelisteditor.h"

#include "displaytext.h"
#include "errorhandler.h"
#include "fileio.h"
#include "text8bit.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QFocusEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyledItemDelegate>

#include <algorithm>
#include <functional>
#include <utility>

namespace {

// Cells show and take text in the list's own encoding, so a file keeps its
// encoding; in a Windows-1252 list characters it lacks become "?".
QString Decoded(const SubstitutionList &list, std::string_view bytes)
{
    return QString::fromStdString(DecodeText(bytes, list.Encoding()));
}

std::string Encoded(const SubstitutionList &list, const QString &text)
{
    return EncodeText(text.toStdString(), list.Encoding());
}

// Runs on every structural change, also when an exception leaves early.
class Counter {
public:
    explicit Counter(int &value) : value_(value) { ++value_; }
    ~Counter() { --value_; }
    Counter(const Counter &) = delete;
    Counter &operator=(const Counter &) = delete;
private:
    int &value_;
};

// Runs `then` once, after the next mouse button release anywhere in the
// application has been seen, and goes away.
class ReleaseWaiter : public QObject {
public:
    ReleaseWaiter(QObject *parent, std::function<void()> then) : QObject(parent), then_(std::move(then)) {}

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonRelease && then_) {
            auto then = std::exchange(then_, nullptr);
            qApp->removeEventFilter(this);
            deleteLater();
            then();
        }
        return false;
    }

private:
    std::function<void()> then_;
};

} // namespace

// Shows the list with one blank row when it is empty. The grid changes the
// list itself; the model only announces the changes to the view.
class ValueListModel : public QAbstractTableModel {
public:
    ValueListModel(SubstitutionList &list, QObject *parent) : QAbstractTableModel(parent), list_(list) {}

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(std::max<size_t>(1, list_.Count()));
    }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : 2; }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
            return {};
        const auto row = static_cast<size_t>(index.row());
        if (row >= list_.Count())
            return QString();
        const QString text = Decoded(list_, index.column() == 0 ? list_.Key(row) : list_.Value(row));
        // A cell shows a bounded part of a long text; the list keeps it whole.
        return role == Qt::DisplayRole ? BoundForDisplay(text) : text;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return section == 0 ? QStringLiteral("FMS") : QStringLiteral("Kennung");
        return QAbstractTableModel::headerData(section, orientation, role);
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        if (!index.isValid())
            return Qt::NoItemFlags;
        return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable;
    }

    void InsertEntry(int row, std::string line)
    {
        const int count = static_cast<int>(list_.Count());
        if (row < 0 || row > count)
            ThrowListIndexError(row);
        // Validate before the view is told rows are coming.
        list_.CheckUnique(line);
        if (count == 0) {
            // The blank row turns into the entry; the row count stays 1.
            list_.Insert(0, std::move(line));
            emit dataChanged(index(0, 0), index(0, 1));
            return;
        }
        beginInsertRows({}, row, row);
        list_.Insert(static_cast<size_t>(row), std::move(line));
        endInsertRows();
    }

    void RemoveEntry(int row)
    {
        const int count = static_cast<int>(list_.Count());
        if (row < 0 || row >= count)
            ThrowListIndexError(row);
        if (count == 1) {
            list_.Delete(0);
            emit dataChanged(index(0, 0), index(0, 1));
            return;
        }
        beginRemoveRows({}, row, row);
        list_.Delete(static_cast<size_t>(row));
        endRemoveRows();
    }

    void CellChanged(int row, int column) { emit dataChanged(index(row, column), index(row, column)); }

    template <class F>
    void Reset(F &&change)
    {
        beginResetModel();
        try {
            change();
        } catch (...) {
            endResetModel();
            throw;
        }
        endResetModel();
    }

private:
    SubstitutionList &list_;
};

// A plain line editor per cell whose keystrokes go to the grid at once.
class ValueListCellDelegate : public QStyledItemDelegate {
public:
    explicit ValueListCellDelegate(TValueListEditor *grid) : QStyledItemDelegate(grid), grid_(grid) {}

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &index) const override
    {
        auto *editor = new QLineEdit(parent);
        editor->setFrame(false);
        grid_->EditorCreated(editor, index);
        return editor;
    }

    void setEditorData(QWidget *editor, const QModelIndex &index) const override
    {
        // Only when the editor opens: later the list follows the editor, not
        // the other way round, and an unstored duplicate must stay visible.
        auto *line = static_cast<QLineEdit *>(editor);
        if (line->property("kzLoaded").toBool())
            return;
        line->setProperty("kzLoaded", true);
        const QString text = index.data(Qt::EditRole).toString();
        if (text.size() > DisplayTextLimit) {
            // Too long to lay out in a line editor: shown in part and read-only,
            // so that leaving the cell never stores the shortened text.
            line->setReadOnly(true);
            line->setProperty("kzShortened", true);
        }
        line->setText(BoundForDisplay(text));
        grid_->EditorLoaded(line, index, line->text());
    }

    void setModelData(QWidget *editor, QAbstractItemModel *, const QModelIndex &index) const override
    {
        if (!Shortened(editor))
            grid_->CellCommitted(index, static_cast<QLineEdit *>(editor)->text());
    }

    static bool Shortened(const QWidget *editor) { return editor->property("kzShortened").toBool(); }

    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option, const QModelIndex &) const override
    {
        editor->setGeometry(option.rect);
    }

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && grid_->HandleKey(static_cast<QKeyEvent *>(event)))
            return true;
        if (event->type() == QEvent::FocusOut) {
            // An error box or another application taking the focus is no
            // reason to leave the cell; the editor gets the focus back.
            const auto reason = static_cast<QFocusEvent *>(event)->reason();
            if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason)
                return false;
            if (reason == Qt::MouseFocusReason) {
                // A click elsewhere is under way: a box opened now would swallow
                // its release, and with it the click.
                Counter deferring(grid_->errorsAfterClick_);
                return QStyledItemDelegate::eventFilter(object, event);
            }
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }

private:
    TValueListEditor *grid_;
};

// Every change of the current cell, by key, mouse or code, passes here, so
// an empty entry the user leaves is removed after the move completed.
class ValueListSelection : public QItemSelectionModel {
public:
    ValueListSelection(QAbstractItemModel *model, TValueListEditor *grid) : QItemSelectionModel(model, grid), grid_(grid) {}

    void setCurrentIndex(const QModelIndex &index, QItemSelectionModel::SelectionFlags command) override
    {
        const int from = currentIndex().isValid() ? currentIndex().row() : -1;
        QItemSelectionModel::setCurrentIndex(index, command);
        grid_->AfterCurrentSet(from, currentIndex().isValid() ? currentIndex().row() : -1);
    }

private:
    TValueListEditor *grid_;
};

TValueListEditor::TValueListEditor(QWidget *parent) : QTableView(parent)
{
    setObjectName(QStringLiteral("ValueListEditor1"));
    model_ = new ValueListModel(list_, this);
    setModel(model_);
    QItemSelectionModel *defaultSelection = selectionModel();
    setSelectionModel(new ValueListSelection(model_, this));
    delete defaultSelection;
    delegate_ = new ValueListCellDelegate(this);
    setItemDelegate(delegate_);

    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    // Opening on a current change is done by hand, only while the grid has the focus.
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWordWrap(false);

    verticalHeader()->hide();
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(18);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setHighlightSections(false);
    setColumnWidth(0, 149);
    setColumnWidth(1, 150);

    selectionModel()->setCurrentIndex(model_->index(0, 0), QItemSelectionModel::ClearAndSelect);
}

TValueListEditor::~TValueListEditor() = default;

int TValueListEditor::CurrentRow() const
{
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() : 0;
}

void TValueListEditor::SetCurrentRow(int row)
{
    if (row < 0 || row >= model_->rowCount())
        ThrowListIndexError(row);
    MoveTo(row);
}

void TValueListEditor::MoveTo(int row)
{
    const int column = currentIndex().isValid() ? currentIndex().column() : 0;
    selectionModel()->setCurrentIndex(model_->index(row, column), QItemSelectionModel::ClearAndSelect);
}

void TValueListEditor::NewEntry()
{
    const auto row = static_cast<size_t>(CurrentRow());
    if (row < list_.Count() && list_.IsEmptyEntry(row))
        return;
    model_->InsertEntry(static_cast<int>(list_.Count()), "=");
}

void TValueListEditor::DeleteCurrentEntry()
{
    const int row = CurrentRow();
    const int count = static_cast<int>(list_.Count());
    if (row >= count)
        ThrowListIndexError(row);
    // The moves below are part of the deletion: they must not remove the
    // empty entry they leave, which would delete a second entry.
    Counter suspended(moveRuleSuspended_);
    DiscardEditor();
    if (count >= 2) {
        // Step onto the neighbour first so the current row never sits on the
        // removed row; below, the neighbour then slides into its place.
        MoveTo(row == count - 1 ? row - 1 : row + 1);
        model_->RemoveEntry(row);
    } else {
        model_->RemoveEntry(0);
    }
    ReopenEditorIfFocused();
}

void TValueListEditor::LoadFromFile(const std::string &name)
{
    // Read first: a file that cannot be read leaves the grid untouched.
    const std::string bytes = LoadFileBytes(name);
    Counter suspended(moveRuleSuspended_);
    DiscardEditor();
    auto restore = [this] {
        // What a load gave, whole or up to a refused line, is the file's.
        unchanged_ = list_.Lines();
        MoveTo(0);
        ReopenEditorIfFocused();
    };
    try {
        model_->Reset([&] { list_.LoadFromText(bytes, name); });
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

void TValueListEditor::SaveToFile(const std::string &name)
{
    list_.SaveToFile(name);
    unchanged_ = list_.Lines();
}

void TValueListEditor::AfterCurrentSet(int from, int to)
{
    Guarded([&] {
        if (moveRuleSuspended_ > 0 || from < 0 || from == to || static_cast<size_t>(from) >= list_.Count())
            return;
        if (!list_.IsEmptyEntry(static_cast<size_t>(from)))
            return;
        Counter suspended(moveRuleSuspended_);
        model_->RemoveEntry(from);
    });
}

void TValueListEditor::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QTableView::currentChanged(current, previous);
    if (current.isValid() && hasFocus() && state() != QAbstractItemView::EditingState)
        edit(current);
}

void TValueListEditor::focusInEvent(QFocusEvent *event)
{
    QTableView::focusInEvent(event);
    // Later, not now: the grid also gets the focus back while an editor is
    // being closed, and opening another one inside that is asking for trouble.
    QMetaObject::invokeMethod(this, [this] { ReopenEditorIfFocused(); }, Qt::QueuedConnection);
}

void TValueListEditor::closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint)
{
    if (editor == editor_)
        editor_.clear();
    if (hint != QAbstractItemDelegate::EditNextItem && hint != QAbstractItemDelegate::EditPreviousItem) {
        QTableView::closeEditor(editor, hint);
        return;
    }
    // Tab moves on by itself: the base would open the next cell a second
    // time, since opening on a current change is ours and not a trigger.
    QTableView::closeEditor(editor, QAbstractItemDelegate::NoHint);
    const bool forward = hint == QAbstractItemDelegate::EditNextItem;
    if (AtTabEdge(forward)) {
        QWidget::focusNextPrevChild(forward);
        return;
    }
    const QModelIndex next = moveCursor(forward ? MoveNext : MovePrevious, Qt::NoModifier);
    if (next.isValid())
        selectionModel()->setCurrentIndex(next, QItemSelectionModel::ClearAndSelect);
}

void TValueListEditor::ReopenEditorIfFocused()
{
    const QModelIndex current = currentIndex();
    if (current.isValid() && hasFocus() && state() != QAbstractItemView::EditingState)
        edit(current);
}

QLineEdit *TValueListEditor::OpenEditor() const
{
    if (editor_ && !editor_->isHidden() && editorIndex_.isValid())
        return editor_.data();
    return nullptr;
}

void TValueListEditor::DiscardEditor()
{
    // Closing without a commit: every keystroke is stored already, and a
    // refused duplicate still showing in it is to be dropped.
    if (QLineEdit *editor = OpenEditor())
        closeEditor(editor, QAbstractItemDelegate::NoHint);
}

void TValueListEditor::EditorCreated(QLineEdit *editor, const QModelIndex &index)
{
    const QPersistentModelIndex cell(index);
    connect(editor, &QLineEdit::textEdited, this, [this, editor, cell](const QString &text) {
        Guarded([&] { CellTextEdited(editor, cell, text); });
    });
}

void TValueListEditor::EditorLoaded(QLineEdit *editor, const QModelIndex &index, const QString &text)
{
    editor_ = editor;
    editorIndex_ = index;
    editorOriginal_ = text;
    editorAccepted_ = text;
    refusedKey_.clear();
}

void TValueListEditor::CellTextEdited(QLineEdit *editor, const QPersistentModelIndex &index, const QString &text)
{
    if (!index.isValid())
        return;
    const std::string bytes = Encoded(list_, text);
    if (index.column() == 0 && bytes.find('=') != std::string::npos) {
        // Refuse the keystroke (or paste) as a whole and keep what was there.
        const int cursor = editor->cursorPosition() - static_cast<int>(text.size() - editorAccepted_.size());
        editor->setText(editorAccepted_);
        editor->setCursorPosition(std::clamp(cursor, 0, static_cast<int>(editorAccepted_.size())));
        SubstitutionList::CheckKeyText(bytes);
    }
    const QString shown = Decoded(list_, bytes);
    if (shown != text) {
        // Show what will be stored for characters the code page lacks.
        const int cursor = editor->cursorPosition();
        editor->setText(shown);
        editor->setCursorPosition(std::min(cursor, static_cast<int>(shown.size())));
    }
    editorAccepted_ = shown;
    if (index.column() == 0)
        ApplyKey(index.row(), bytes);
    else
        ApplyValue(index.row(), bytes);
}

void TValueListEditor::CellCommitted(const QModelIndex &index, const QString &text)
{
    bool refusedDuplicate = false;
    try {
        if (!index.isValid() || index.model() != model_)
            return;
        const std::string bytes = Encoded(list_, text);
        if (index.column() != 0) {
            ApplyValue(index.row(), bytes);
            return;
        }
        SubstitutionList::CheckKeyText(bytes);
        try {
            ApplyKey(index.row(), bytes);
        } catch (const EDuplicateKeyError &) {
            // Prefixes stored while typing are no key the user chose.
            RestoreKeyBeforeEdit(index.row());
            refusedDuplicate = true;
            throw;
        }
    } catch (...) {
        const QPersistentModelIndex cell = refusedDuplicate ? QPersistentModelIndex(index) : QPersistentModelIndex();
        if (errorsAfterClick_ > 0) {
            ReportAfterClick(std::current_exception(), cell);
        } else {
            HandleCurrentException();
            ReturnToCell(cell);
        }
    }
}

void TValueListEditor::RestoreKeyBeforeEdit(int row)
{
    refusedKey_.clear();
    if (static_cast<size_t>(row) >= list_.Count())
        return;
    const std::string before = Encoded(list_, editorOriginal_);
    if (!list_.KeyTaken(before, static_cast<size_t>(row)))
        list_.SetKey(static_cast<size_t>(row), before);
    model_->CellChanged(row, 0);
}

void TValueListEditor::ReturnToCell(const QPersistentModelIndex &cell)
{
    // After the box: the refused cell is current and open again, instead of
    // whatever the closing box handed the focus to.
    if (!cell.isValid())
        return;
    QMetaObject::invokeMethod(
        this,
        [this, cell] {
            if (!cell.isValid())
                return;
            selectionModel()->setCurrentIndex(cell, QItemSelectionModel::ClearAndSelect);
            setFocus(Qt::OtherFocusReason);
            ReopenEditorIfFocused();
        },
        Qt::QueuedConnection);
}

void TValueListEditor::ReportAfterClick(std::exception_ptr error, const QPersistentModelIndex &cell)
{
    // Shown once the mouse button is up and the click has done its work on
    // what the grid holds (the refused key is not stored); taking the focus
    // back earlier would cancel the pressed button.
    auto *waiter = new ReleaseWaiter(this, [this, error, cell] {
        QMetaObject::invokeMethod(
            this,
            [this, error, cell] {
                Guarded([&] { std::rethrow_exception(error); });
                ReturnToCell(cell);
            },
            Qt::QueuedConnection);
    });
    qApp->installEventFilter(waiter);
}

bool TValueListEditor::focusNextPrevChild(bool next)
{
    if (AtTabEdge(next))
        return QWidget::focusNextPrevChild(next);
    return QTableView::focusNextPrevChild(next);
}

bool TValueListEditor::AtTabEdge(bool forward) const
{
    // Tab past the last cell, or Shift+Tab before the first, leaves the
    // grid as in any other control instead of wrapping round.
    const QModelIndex current = currentIndex();
    return !current.isValid() || (forward ? current.row() == model_->rowCount() - 1 && current.column() == 1
                                          : current.row() == 0 && current.column() == 0);
}

void TValueListEditor::ApplyKey(int row, const std::string &key)
{
    if (static_cast<size_t>(row) >= list_.Count()) {
        // Typing into the blank row of the empty list creates the entry.
        if (!key.empty())
            model_->InsertEntry(0, key + "=");
        return;
    }
    if (list_.KeyTaken(key, static_cast<size_t>(row))) {
        // A duplicate met while typing may be on its way to something else;
        // only the same text arriving again (leaving the cell) is refused aloud.
        if (key == refusedKey_)
            list_.SetKey(static_cast<size_t>(row), key); // raises the duplicate message
        refusedKey_ = key;
        return;
    }
    refusedKey_.clear();
    list_.SetKey(static_cast<size_t>(row), key);
    model_->CellChanged(row, 0);
}

void TValueListEditor::ApplyValue(int row, const std::string &value)
{
    if (static_cast<size_t>(row) >= list_.Count()) {
        if (!value.empty())
            model_->InsertEntry(0, "=" + value);
        return;
    }
    list_.SetValue(static_cast<size_t>(row), value);
    model_->CellChanged(row, 1);
}

void TValueListEditor::CommitOpenEditor()
{
    QLineEdit *editor = OpenEditor();
    if (!editor || ValueListCellDelegate::Shortened(editor))
        return;
    const QModelIndex index = editorIndex_;
    const std::string bytes = Encoded(list_, editor->text());
    try {
        if (index.column() == 0) {
            SubstitutionList::CheckKeyText(bytes);
            ApplyKey(index.row(), bytes);
        } else {
            ApplyValue(index.row(), bytes);
        }
    } catch (const EDuplicateKeyError &) {
        RestoreKeyBeforeEdit(index.row());
        editor->setText(editorOriginal_);
        editorAccepted_ = editorOriginal_;
        throw;
    } catch (...) {
        // The entry keeps its stored key; show that rather than the refused text.
        const QString stored = model_->data(index, Qt::EditRole).toString();
        editor->setText(stored);
        editorAccepted_ = stored;
        throw;
    }
    editorOriginal_ = editor->text();
}

void TValueListEditor::UndoOrDeleteEmpty()
{
    QLineEdit *editor = OpenEditor();
    if (editor && editor->text() != editorOriginal_) {
        const QModelIndex index = editorIndex_;
        editor->setText(editorOriginal_);
        editorAccepted_ = editorOriginal_;
        refusedKey_.clear();
        const auto row = static_cast<size_t>(index.row());
        if (row < list_.Count()) {
            const std::string bytes = Encoded(list_, editorOriginal_);
            if (index.column() == 0)
                list_.SetKey(row, bytes);
            else
                list_.SetValue(row, bytes);
            model_->CellChanged(index.row(), index.column());
        }
        return;
    }
    const auto row = static_cast<size_t>(CurrentRow());
    if (row < list_.Count() && list_.IsEmptyEntry(row))
        DeleteCurrentEntry();
}

void TValueListEditor::InsertAboveCurrent()
{
    const int row = CurrentRow();
    if (static_cast<size_t>(row) >= list_.Count() || list_.Key(static_cast<size_t>(row)).empty())
        return;
    model_->InsertEntry(row, "=");
    MoveTo(row);
}

void TValueListEditor::AppendBelowLast()
{
    const int row = CurrentRow();
    if (static_cast<size_t>(row) >= list_.Count() || list_.Key(static_cast<size_t>(row)).empty())
        return;
    model_->InsertEntry(row + 1, "=");
    // A new row starts with its key, whichever column the cursor came from.
    selectionModel()->setCurrentIndex(model_->index(row + 1, 0), QItemSelectionModel::ClearAndSelect);
}

bool TValueListEditor::HandleKey(QKeyEvent *event)
{
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const bool ctrl = modifiers == Qt::ControlModifier;
    const bool plain = modifiers == Qt::NoModifier;
    const int lastRow = model_->rowCount() - 1;
    switch (event->key()) {
    case Qt::Key_Insert:
        if (!plain)
            return false;
        Guarded([&] { InsertAboveCurrent(); });
        return true;
    case Qt::Key_Delete:
        if (!ctrl)
            return false;
        Guarded([&] { DeleteCurrentEntry(); });
        return true;
    case Qt::Key_Up:
        if (!ctrl)
            return false;
        Guarded([&] { MoveTo(0); });
        return true;
    case Qt::Key_Down:
        if (ctrl) {
            Guarded([&] { MoveTo(lastRow); });
            return true;
        }
        if (!plain || CurrentRow() != lastRow)
            return false;
        Guarded([&] { AppendBelowLast(); });
        return true;
    case Qt::Key_Escape:
        Guarded([&] { UndoOrDeleteEmpty(); });
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter accepts the text but keeps the cell in edit mode.
        if (!OpenEditor())
            return false;
        Guarded([&] { CommitOpenEditor(); });
        return true;
    default:
        return false;
    }
}

void TValueListEditor::keyPressEvent(QKeyEvent *event)
{
    if (HandleKey(event))
        return;
    QTableView::keyPressEvent(event);
}
