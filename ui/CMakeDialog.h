// The progress window of a conversion run: what is being made, how far the run is, the
// log, a stop button, and when the run is over the buttons that open the result. It
// reads the run's progress on a 200 ms timer; the run itself goes on on its worker.
#pragma once

#include "HostWindow.h"

#include <ConversionProgress.h>

class QLabel;
class QProgressBar;
class QTextEdit;

namespace folimo::ui {

class CMakeDialog : public HostDialog {
    Q_OBJECT
public:
    // `progress` outlives the window; the worker reports to it.
    explicit CMakeDialog(ConversionProgress& progress, QWidget* parent = nullptr);

    // Ends the window by itself once the run is over (a conversion nobody waits to read).
    void SetCloseWhenFinished(bool on) { closeWhenFinished_ = on; }

protected:
    void OnInit() override;
    void OnTimer(int id) override;
    bool OnCommand(const QString& name) override;
    // Closing while the run goes on stops it without asking, and the window goes when
    // the worker has ended the document it was writing and the log has said what was
    // kept: no document is left half-made and no worker reports to a window that is gone.
    void OnCancel() override;

private:
    void refresh();
    void stopRun();

    ConversionProgress& progress_;
    QLabel* tip_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QTextEdit* log_ = nullptr;
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
