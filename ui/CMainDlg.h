// The main window. It owns the program's one engine object, whose settings record is
// filled from the store when the window starts; the list, previews and conversion
// commands build on it.
#pragma once

#include "HostWindow.h"

#include <ConversionJob.h>
#include <ConversionProgress.h>
#include <folimo/Owned.h>

#include <QTimer>

#include <memory>

namespace folimo {
class SFileListAdapter;
}

namespace folimo::ui {

class CFileListRows;

class CMainDlg : public HostWindow {
    Q_OBJECT
public:
    CMainDlg();

    // Null when the engine could not be created (the window then says so).
    IFolimo* Engine() const { return engine_.get(); }
    // The image list; null before the window starts or without an engine.
    SFileListAdapter* ImageList() const { return list_.get(); }

    // Started for the file manager's verb: the first tick of the window's timer converts
    // whatever the list holds then, one PDF beside each image. Set before Create().
    void SetAutoConversion(bool on) { autoConversion_ = on; }

    // Converts the whole list on a worker thread while the progress window shows the
    // run; returns when that window is closed, with the names of the documents written.
    // `output` is the PDF in single mode and a folder (or nothing, per image) otherwise.
    std::vector<std::wstring> StartConversion(ConversionMode mode, const std::wstring& output,
                                              bool closeWhenFinished = false);

protected:
    void OnInit() override;

private:
    Owned<IFolimo> engine_;
    std::shared_ptr<SFileListAdapter> list_;
    std::shared_ptr<CFileListRows> rows_;
    // Items whose information came in since the list was last redrawn: the list is
    // redrawn once a second at most, not once an item.
    bool listChanged_ = false;
    bool autoConversion_ = false;
    QTimer refresh_;
    // What the engine calls during a run: passed on to the progress window's side.
    ConversionForwarder forwarder_;
};

} // namespace folimo::ui
