// The progress window of a conversion run: what is being made, how far the run is, the
// log, a stop button, and when the run is over the buttons that open the result. It
// reads the run's progress on a 200 ms timer; the run itself goes on on its worker.
#pragma once

#include <ConversionProgress.h>

#include <QDialog>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextEdit;

namespace folimo::ui {

class CMakeDialog : public QDialog {
    Q_OBJECT
public:
    // `progress` outlives the window; the worker reports to it. Throws LayoutError when
    // the window's layout cannot be built.
    explicit CMakeDialog(ConversionProgress& progress, QWidget* parent = nullptr);

    // Ends the window (Accepted) by itself once the run is over: a conversion nobody waits
    // to read.
    void SetCloseWhenFinished(bool on) { closeWhenFinished_ = on; }

    // Closing while the run goes on stops it without asking, and the window goes
    // (Accepted) when the worker has ended the document it was writing and the log has
    // said what was kept: no document is left half-made and no worker reports to a window
    // that is gone.
    void reject() override;

private:
    void refresh();
    void stopRun();

    struct Controls {
        QLabel* tip;
        QProgressBar* bar;
        QTextEdit* log;
        QPushButton* openFile;
        QPushButton* openFolder;
        QPushButton* stop;
        QPushButton* close;
    };
    Controls ui_;
    ConversionProgress& progress_;
    QTimer refreshTimer_;
    std::size_t logShown_ = 0; // the part of the log already in the edit box
    std::size_t errorsShown_ = 0;
    std::wstring firstOutput_;
    std::wstring openPath_;
    bool closeWhenFinished_ = false;
    bool closingByUser_ = false; // closed during the run: goes once the run has stopped
    bool finishedShown_ = false;
};

// Opens the folder of `path` in the file manager with the file selected where the file
// manager can (the FileManager1 interface), else the folder itself.
void ShowInFolder(const QString& path);

} // namespace folimo::ui
