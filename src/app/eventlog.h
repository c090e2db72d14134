#pragma once

#include <QAbstractScrollArea>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The event log's lines, stored compactly: the tool may monitor a decoder for
// days, so a line costs its bytes plus a 12-byte reference, and texts live in
// large shared blocks instead of one allocation per line.
class TEventLogLines {
public:
    void Append(std::string_view line);
    void Clear();
    int Count() const { return static_cast<int>(refs_.size()); }
    std::string_view Line(int index) const;
    size_t BytesReserved() const;

private:
    struct Ref {
        uint32_t block;
        uint32_t offset;
        uint32_t length;
    };
    static constexpr size_t BlockSize = 1 << 20;

    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<size_t> blockSizes_;
    size_t used_ = 0;   // bytes used in the last block
    std::vector<Ref> refs_;
};

// The list box at the bottom of the window: single selection, uniform
// 13-pixel rows. Appending costs the same at a million lines as at ten: only
// the rows in sight are ever measured or painted. Lines are 8-bit text,
// shown as Latin-1.
class TEventLog : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int RowHeight = 13;

    explicit TEventLog(QWidget *parent = nullptr);

    const TEventLogLines &Lines() const { return lines_; }
    int Count() const { return lines_.Count(); }
    QString Text(int index) const;

    // Appends without touching the selection.
    void Append(std::string_view line);
    void Clear();

    // Selected line, -1 for none; selecting scrolls the line into view.
    int ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int index);
    int TopIndex() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    // Scroll range, scroll position and repaint follow the lines once per turn
    // of the event loop; nothing is painted in between anyway.
    void ScheduleSync();
    void Sync() const;
    void UpdateScrollBars() const;
    int VisibleRows() const;

    TEventLogLines lines_;
    int itemIndex_ = -1;
    mutable bool syncPending_ = false;
    mutable bool revealSelection_ = false;
    mutable int widest_ = 0;   // widest line painted so far, for the horizontal scroll range
};
