#pragma once

class TEventLog;

// Owns what assistive technology learns of the event log: a list whose
// items (the rows) are made on demand, new and cleared rows once per turn of
// the event loop, and the selected row.
class EventLogAccessibility {
public:
    explicit EventLogAccessibility(TEventLog &log);

    // The rows now shown; announced when they differ from those announced.
    void AnnounceRows(int rows);
    // The rows were replaced (a filter changed).
    void AnnounceReset(int rows);
    // The first `rows` rows are gone: the others moved up.
    void DropFirst(int rows);
    void AnnounceSelection(int row, bool focused);

private:
    TEventLog &log_;
    int announced_ = 0;
};
