#pragma once

#include "decoderline.h"

class QCheckBox;
class QFont;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QString;
class QTabWidget;
class QWidget;
class TEventLog;
class TPortComboBox;
class TSignalLed;
class TValueListEditor;

// The designed layout assumes an 8-point sans serif at 96 dpi (11 pixels);
// Liberation Sans has the metrics closest to it.
QFont WindowFont();
void ApplyWindowFont();

// Edit names of the tone rows in digit order 1-9, 0, R.
constexpr const char *ToneEditNames[decoder::ToneDigits] = {"Edit3",  "Edit4",  "Edit5", "Edit6",  "Edit7", "Edit10",
                                                        "Edit9",  "Edit8",  "Edit13", "Edit12", "Edit11"};

// Owns nothing: the main window's widgets that its handlers use, by their
// designed names; the rest are found by name under the window.
struct Form1Widgets {
    QWidget *form = nullptr;
    QTabWidget *pageControl1 = nullptr;
    TEventLog *listBox1 = nullptr;
    QCheckBox *checkBox34 = nullptr;
    QComboBox *comboBox3 = nullptr;
    TPortComboBox *portComboBox1 = nullptr;
    TSignalLed *signalLed1 = nullptr;
    TSignalLed *signalLed2 = nullptr;
    TSignalLed *signalLed3 = nullptr;
    TValueListEditor *valueListEditor1 = nullptr;
    QProgressBar *progressBar1 = nullptr;

    QPushButton *Button(const char *name) const;
    QLabel *Static(const char *name) const;
    QLineEdit *Edit(const char *name) const;
    // The status line below the progress bar.
    void SetStatusLine(const QString &text) const;
};

// Builds the main window as designed: its six pages and the event log with
// their names, captions, bounds and initial values.
Form1Widgets BuildForm1Pages(QWidget *form);

// Moves the window into the screen's free area; the designed position can lie
// off a small or highly scaled screen. `frameExtra` is the caption and border height.
void PlaceOnScreen(QWidget *window, int frameExtra);
