#pragma once

#include "eventloglines.h"
#include "eventlogtelegrams.h"
#include "eventlogselection.h"
#include "telegramcsv.h"

#include <QAbstractScrollArea>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;

// Control bytes (the decoder's field separator, line feeds) as visible
// symbols from the Control Pictures block instead of empty boxes.
QString WithControlPictures(QString text);

// The list box at the bottom of the window: uniform 13-pixel rows in a fixed
// pitch font. Appending costs the same at a million lines as at ten: only the
// rows in sight are ever measured or painted. Lines are 8-bit text, decoded
// by the application's one rule.
//
// Added to the designed single-selection list, all reached through its
// context menu and keys: multi-selection and copy, save, clear, arrival
// times, following new lines (on) and a search bar.
class TEventLog : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int RowHeight = 13;

    explicit TEventLog(QWidget *parent = nullptr);
    ~TEventLog() override;

    const EventLogLines &Lines() const { return lines_; }
    int Count() const { return lines_.Count(); }
    // Rows are the lines shown: all of them, or while the find bar's filter
    // is set the telegram lines it matches. Selection, keys, search, copy
    // and the accessible items count rows; Text and VisibleText take lines.
    int RowCount() const { return filter_ ? static_cast<int>(shown_.size()) : Count(); }
    int LineOf(int row) const { return filter_ ? shown_[static_cast<size_t>(row)] : row; }
    // The line decoded, whole.
    QString Text(int index) const;
    // The line as shown, whole: arrival time when times are shown, control
    // pictures. Copy and save give this text.
    QString VisibleText(int index) const;

    // Appends without touching the selection.
    void Append(std::string_view line);
    // A telegram's log line, with its fields for names and the table export.
    void AppendTelegram(std::string_view line, const decoder::Telegram &telegram);
    void Clear();

    // Selected row, -1 for none; selecting scrolls the row into view and
    // makes it the only selected row.
    int ItemIndex() const { return selection_.Current(); }
    void SetItemIndex(int index);
    int TopIndex() const;
    bool IsSelected(int index) const { return selection_.IsSelected(index); }
    std::vector<int> SelectedRows() const { return selection_.Rows(RowCount()); }

    // The window's "select the last line" step after a new line: skipped
    // while the user looks at older lines or following is off.
    void FollowLastLine();

    bool TimesShown() const { return timesShown_; }
    void SetTimesShown(bool shown);
    // "Namen anzeigen": telegram lines shown, copied and saved with the
    // designation the lookup gives for their identifier (off by default; the
    // stored line stays as it is).
    bool NamesShown() const { return namesShown_; }
    void SetNamesShown(bool shown);
    using DesignationLookup = std::function<QString(const std::string &identifier)>;
    void SetDesignationLookup(DesignationLookup lookup) { designationOf_ = std::move(lookup); }
    // "Telegramme exportieren (CSV)...": one row per telegram (time,
    // identifier, designation, status, TKI, BS, direction, text), RFC 4180,
    // UTF-8, or as German spreadsheet programs read it (the dialog's file
    // type "CSV (Excel, Semikolon)"). Raises the file errors of SaveFileBytes.
    void ExportTelegrams(const std::string &path, session::CsvDialect dialect = session::CsvDialect::Rfc4180) const;
    void ExportTelegramsWithDialog();
    bool Following() const { return following_; }
    void SetFollowing(bool follow);

    // Copy gives the rows shown; saving gives every line kept.
    void CopySelection() const;
    void CopyAll() const;
    // UTF-8, one line per entry, as shown, the system's line ends (CR LF on
    // Windows, as its editors expect). Raises the file errors of SaveFileBytes.
    void SaveToFile(const std::string &path) const;
    void SaveWithDialog();
    void OpenFindBar();
    void CloseFindBar();
    // Selects the next or previous line holding the search text; false when none does.
    bool FindNext();
    bool FindPrevious();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    // Scroll range, scroll position and repaint follow the lines once per turn
    // of the event loop; nothing is painted in between anyway.
    void ScheduleSync();
    void Sync() const;
    void UpdateScrollBars() const;
    void AnnounceRows() const;
    int VisibleRows() const;
    int RowAt(int y) const;
    QString FormatTime(int64_t msecs) const;
    QString TimePrefix(int index) const;
    // A checkable view option of the menu: the action, its flag and the view follow.
    void SetViewOption(QAction *action, bool &option, bool on);
    // The line with or without its time, with its designation when names are shown.
    QString LineText(int index, bool withTime) const;
    QString DesignationSuffix(int index) const;
    // A save dialog in the documents folder, the name dated today; the
    // file types offered first, "Alle Dateien" last. `chosen`: the index of
    // the file type the user left selected.
    QString AskSavePath(const QString &title, const QString &baseName, const QStringList &filters,
                        const QString &suffix, int *chosen = nullptr);
    static void InstallAccessibility();

    void CreateActions();
    void CreateFindBar();
    void LayoutFindBar();
    // A selection made by the user: detaches from the end unless it is the last line.
    void UserSelect(int row, Qt::KeyboardModifiers modifiers);
    void UserScrolled();
    void SelectRange(int from, int to);
    void SelectionChanged();
    bool LineMatches(int index, const QString &needle) const;
    bool Find(int step);
    QString JoinedText(const std::vector<int> &rows) const;
    // Stores the line; returns its number.
    int StoreLine(std::string_view line);
    // The filter's text was edited: rows follow it, the selected line stays
    // selected where it is still shown.
    void ApplyFilter();

    EventLogLines lines_;
    TEventLogTelegrams telegrams_;
    bool namesShown_ = false;
    DesignationLookup designationOf_;
    QAction *showNames_ = nullptr;
    EventLogSelection selection_;
    bool timesShown_ = false;
    bool following_ = true;
    bool detached_ = false;   // the user looks at older lines
    mutable bool syncPending_ = false;
    mutable bool revealSelection_ = false;
    mutable int announcedRows_ = 0;
    mutable int widest_ = 0;
    mutable int64_t cachedSecond_ = INT64_MIN;
    mutable QString cachedSecondText_;   // widest line painted so far, for the horizontal scroll range

    QWidget *findBar_ = nullptr;
    QLineEdit *findEdit_ = nullptr;
    QLabel *findStatus_ = nullptr;
    QLineEdit *filterEdit_ = nullptr;
    std::optional<TelegramFilter> filter_;
    std::vector<int> shown_;   // the lines matching filter_, in order
    QAction *showTimes_ = nullptr;
    QAction *follow_ = nullptr;
};
