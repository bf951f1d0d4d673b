// The scan window: a device from those SANE finds, what to scan on it, where the files
// go; then a batch, page by page, each page's file handed on as it arrives. Every
// question to a device goes through the scanner service, whose answers come back queued,
// so the window never waits for a device. The choices are remembered per device.
#pragma once

#include <Scanner.h>

#include <QDialog>
#include <QPointer>
#include <QString>

#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace folimo {
class ScanEvents;
}

namespace folimo::ui {

class CScanDialog : public QDialog {
    Q_OBJECT
public:
    // `service` outlives the window. Throws LayoutError when the layout cannot be built.
    explicit CScanDialog(scan::ScannerService& service, QWidget* parent = nullptr);
    ~CScanDialog() override;

    // What the window says when a device or a batch fails, in its language; `saneText` is
    // SANE's own words, shown only where nothing better can be said.
    static QString FailureText(scan::Failure failure, const QString& saneText);

    // The paper sizes offered on a device whose area is `widthMm` x `heightMm`: those that
    // fit, after the whole area (always first, as 0 x 0). None for a device that cannot
    // crop (an area of 0).
    struct Paper {
        const char* name;
        double widthMm;
        double heightMm;
    };
    static std::vector<Paper> PapersThatFit(double widthMm, double heightMm);

    bool Scanning() const { return scanning_; }
    int PagesScanned() const { return scanned_; }
    int PagesSkipped() const { return skipped_; }

    // Closing during a batch stops it; the window goes when the service has ended it, so
    // no page arrives for a window that is gone.
    void reject() override;

signals:
    // A page's file, in the batch's order, as soon as it is written.
    void pageArrived(const QString& path);
    // The device list was filled (or found empty); a device's choices are shown; a batch
    // ended and the window says how.
    void devicesShown();
    void choicesShown();
    void batchFinished();

private:
    void refreshDevices();
    void showDevices(const std::vector<scan::Device>& devices, scan::Failure failure);
    void deviceChosen();
    void showCapabilities(const std::string& device, const scan::Capabilities& capabilities,
                          scan::Failure failure, const QString& message);
    void applyChoices(const scan::Choices& choices);
    scan::Choices currentChoices() const;
    std::string currentDevice() const;
    void chooseFolder();
    void startScan();
    void stopScan();
    void batchEnded(scan::Failure failure, bool stopped, const QString& message);
    void setScanning(bool on);
    void updateEnabled();
    void holdFocus();
    void restoreFocus();
    void showCounts();
    void say(const QString& text, bool failure = false);

    struct Controls {
        QComboBox* device;
        QPushButton* refresh;
        QComboBox* source;
        QComboBox* colour;
        QComboBox* resolution;
        QComboBox* paper;
        QCheckBox* skipBlank;
        QSpinBox* blankInk;
        QLabel* blankInkLabel;
        QLineEdit* folder;
        QPushButton* browse;
        QLabel* status;
        QProgressBar* bar;
        QLabel* counts;
        QPushButton* scan;
        QPushButton* stop;
        QPushButton* close;
    };
    Controls ui_;
    scan::ScannerService& service_;
    ScanEvents* events_; // deleted with the window, or after the batch it still serves
    bool listing_ = false;
    bool capabilitiesKnown_ = false;
    bool scanning_ = false;
    bool closeAfterBatch_ = false;
    int scanned_ = 0;
    int skipped_ = 0;
    int requests_ = 0; // answers to an older request than the last are dropped
    // The control that had the focus when a question to the device disabled it: it gets
    // the focus back with the answer, rather than the next control that stayed enabled.
    QPointer<QWidget> focusBefore_;
};

} // namespace folimo::ui
