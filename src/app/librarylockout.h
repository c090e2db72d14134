#pragma once

class QAction;
class QTabWidget;
class TEventLog;

// The library's callback runs the event loop while it writes: a click that
// opened the port, started a transfer or raised a modal box would stall the
// write behind it. The pages go out of reach meanwhile (tabs, the log, its
// copy and search stay), and come back however the run ends.
class WhileLibraryWorks {
public:
    WhileLibraryWorks(QTabWidget &pages, TEventLog &log);
    ~WhileLibraryWorks();
    WhileLibraryWorks(const WhileLibraryWorks &) = delete;
    WhileLibraryWorks &operator=(const WhileLibraryWorks &) = delete;

private:
    void SetEnabled(bool enabled);

    QTabWidget &pages_;
    QAction *save_ = nullptr;
};
