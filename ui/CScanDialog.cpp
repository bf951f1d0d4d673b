#include "CScanDialog.h"

#include "FileDialogs.h"
#include "UiLoader.h"

#include <ScanEvents.h>
#include <ScanSettings.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

#include <cmath>
#include <cstdlib>
#include <utility>

namespace folimo::ui {
namespace {

// Runs `work` on the window's thread later, unless the window is gone by then: the
// service answers on its own thread.
template <class Work>
void onWindowThread(const QPointer<CScanDialog>& window, Work work) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [window, work = std::move(work)]() mutable {
            if (window)
                work(window.data());
        },
        Qt::QueuedConnection);
}

QString sourceName(scan::Source source) {
    switch (source) {
    case scan::Source::Flatbed:
        return QCoreApplication::translate("CScanDialog", "平板");
    case scan::Source::Feeder:
        return QCoreApplication::translate("CScanDialog", "自动进纸器");
    case scan::Source::Duplex:
        return QCoreApplication::translate("CScanDialog", "自动进纸器（双面）");
    }
    return {};
}

QString colourName(scan::Colour colour) {
    switch (colour) {
    case scan::Colour::Colour:
        return QCoreApplication::translate("CScanDialog", "彩色");
    case scan::Colour::Grey:
        return QCoreApplication::translate("CScanDialog", "灰度");
    case scan::Colour::BlackAndWhite:
        return QCoreApplication::translate("CScanDialog", "黑白");
    }
    return {};
}

// Selects the item whose data is `value`; false, leaving the choice, when none has it.
bool selectData(QComboBox* box, const QVariant& value) {
    const int index = box->findData(value);
    if (index >= 0)
        box->setCurrentIndex(index);
    return index >= 0;
}

} // namespace

std::vector<CScanDialog::Paper> CScanDialog::PapersThatFit(double widthMm, double heightMm) {
    static const Paper papers[] = {
        {"A4", 210, 297},
        {"A5", 148, 210},
        {"Letter", 215.9, 279.4},
        {"Legal", 215.9, 355.6},
    };
    std::vector<Paper> fit;
    if (widthMm <= 0 || heightMm <= 0)
        return fit;
    fit.push_back({"", 0, 0});
    // Drivers round their area to their own units: half a millimetre short still takes
    // the paper.
    for (const Paper& paper : papers)
        if (paper.widthMm <= widthMm + 0.5 && paper.heightMm <= heightMm + 0.5)
            fit.push_back(paper);
    return fit;
}

QString CScanDialog::FailureText(scan::Failure failure, const QString& saneText) {
    switch (failure) {
    case scan::Failure::None:
        return {};
    case scan::Failure::NoDevice:
        return QCoreApplication::translate(
            "CScanDialog", "找不到这台扫描仪：它可能已断开或关闭。请检查后点击“刷新”。");
    case scan::Failure::Busy:
        return QCoreApplication::translate("CScanDialog",
                                           "扫描仪正被另一个程序使用。请关闭那个程序后再试。");
    case scan::Failure::CoverOpen:
        return QCoreApplication::translate("CScanDialog", "扫描仪的盖子是打开的。请合上后再扫描。");
    case scan::Failure::Jammed:
        return QCoreApplication::translate("CScanDialog", "卡纸了。请取出卡住的纸张后再扫描。");
    case scan::Failure::FeederEmpty:
        return QCoreApplication::translate("CScanDialog", "进纸器中没有纸。请放入纸张后再扫描。");
    case scan::Failure::Unplugged:
        return QCoreApplication::translate(
            "CScanDialog", "扫描一页时扫描仪断开了。未扫描完的页面没有添加到列表中。");
    case scan::Failure::AccessDenied:
        return QCoreApplication::translate("CScanDialog",
                                           "没有使用这台扫描仪的权限。请向系统管理员申请权限。");
    case scan::Failure::OutOfMemory:
        return QCoreApplication::translate("CScanDialog", "内存不足，无法继续扫描。");
    case scan::Failure::Unsupported:
        return QCoreApplication::translate("CScanDialog",
                                           "扫描仪不支持所选的设置。请换一种来源、颜色或分辨率。");
    case scan::Failure::Other:
        break;
    }
    return saneText.isEmpty()
               ? QCoreApplication::translate("CScanDialog", "扫描失败。")
               : QCoreApplication::translate("CScanDialog", "扫描失败：%1").arg(saneText);
}

CScanDialog::CScanDialog(scan::ScannerService& service, QWidget* parent)
    : QDialog(parent), service_(service), events_(new ScanEvents) {
    QWidget* root = buildLayoutInto(this, QStringLiteral("LAYOUT:XML_SCANWND"));
    ui_ = {bindControl<QComboBox>(root, QStringLiteral("combo_device")),
           bindControl<QPushButton>(root, QStringLiteral("btn_refresh")),
           bindControl<QComboBox>(root, QStringLiteral("combo_source")),
           bindControl<QComboBox>(root, QStringLiteral("combo_colour")),
           bindControl<QComboBox>(root, QStringLiteral("combo_resolution")),
           bindControl<QComboBox>(root, QStringLiteral("combo_paper")),
           bindControl<QCheckBox>(root, QStringLiteral("check_skip_blank")),
           bindControl<QSpinBox>(root, QStringLiteral("spin_blank_ink")),
           bindControl<QLabel>(root, QStringLiteral("lbl_blank_ink")),
           bindControl<QLineEdit>(root, QStringLiteral("edit_folder")),
           bindControl<QPushButton>(root, QStringLiteral("btn_folder")),
           bindControl<QLabel>(root, QStringLiteral("text_status")),
           bindControl<QProgressBar>(root, QStringLiteral("progress_page")),
           bindControl<QLabel>(root, QStringLiteral("text_counts")),
           bindControl<QPushButton>(root, QStringLiteral("btn_scan")),
           bindControl<QPushButton>(root, QStringLiteral("btn_stop")),
           bindControl<QPushButton>(root, QStringLiteral("btn_close"))};

    connect(ui_.refresh, &QPushButton::clicked, this, &CScanDialog::refreshDevices);
    connect(ui_.device, &QComboBox::currentIndexChanged, this, &CScanDialog::deviceChosen);
    connect(ui_.browse, &QPushButton::clicked, this, &CScanDialog::chooseFolder);
    connect(ui_.scan, &QPushButton::clicked, this, &CScanDialog::startScan);
    connect(ui_.stop, &QPushButton::clicked, this, &CScanDialog::stopScan);
    connect(ui_.close, &QPushButton::clicked, this, &CScanDialog::reject);
    connect(ui_.skipBlank, &QCheckBox::toggled, this, &CScanDialog::updateEnabled);

    connect(events_, &ScanEvents::started, this, [this](int number) {
        ui_.bar->setValue(0);
        say(QCoreApplication::translate("CScanDialog", "正在扫描第 %1 页...").arg(number));
    });
    connect(events_, &ScanEvents::progressed, this,
            [this](int, int permille) { ui_.bar->setValue(permille); });
    connect(events_, &ScanEvents::scanned, this, [this](int, const QString& path) {
        ++scanned_;
        ui_.bar->setValue(ui_.bar->maximum());
        showCounts();
        emit pageArrived(path);
    });
    connect(events_, &ScanEvents::skipped, this, [this](int number, int) {
        ++skipped_;
        showCounts();
        say(QCoreApplication::translate("CScanDialog", "第 %1 页是空白页，已跳过。").arg(number));
    });
    connect(events_, &ScanEvents::ended, this, &CScanDialog::batchEnded);

    ui_.folder->setText(QString::fromStdString(GetScanFolder()));
    ui_.folder->setToolTip(ui_.folder->text());
    ui_.counts->hide();
    ui_.bar->hide();
    updateEnabled();
    ui_.device->setFocus();
    refreshDevices();
}

CScanDialog::~CScanDialog() {
    if (!scanning_) {
        delete events_;
        return;
    }
    // The service still reports to the listener: it goes once the batch has ended.
    service_.stop();
    events_->disconnect(this);
    connect(events_, &ScanEvents::ended, events_, &QObject::deleteLater);
}

void CScanDialog::say(const QString& text, bool failure) {
    ui_.status->setText(text);
    ui_.status->setStyleSheet(failure ? QStringLiteral("color: #c01010;") : QString());
}

void CScanDialog::showCounts() {
    ui_.counts->show();
    ui_.counts->setText(QCoreApplication::translate("CScanDialog", "已扫描 %1 页，跳过空白页 %2 页")
                            .arg(scanned_)
                            .arg(skipped_));
}

void CScanDialog::refreshDevices() {
    if (scanning_)
        return;
    listing_ = true;
    capabilitiesKnown_ = false;
    const int request = ++requests_;
    say(QCoreApplication::translate("CScanDialog", "正在查找扫描仪..."));
    holdFocus();
    updateEnabled();
    const QPointer<CScanDialog> window(this);
    service_.listDevices([window, request](std::vector<scan::Device> devices,
                                           scan::Failure failure) {
        onWindowThread(window, [request, devices = std::move(devices), failure](CScanDialog* w) {
            if (request == w->requests_)
                w->showDevices(devices, failure);
        });
    });
}

void CScanDialog::showDevices(const std::vector<scan::Device>& devices, scan::Failure failure) {
    listing_ = false;
    const std::string last = GetLastScanDevice();
    {
        const QSignalBlocker quiet(ui_.device);
        ui_.device->clear();
        for (const scan::Device& device : devices) {
            QString label = QString::fromStdString(device.vendor + " " + device.model).trimmed();
            const QString name = QString::fromStdString(device.name);
            label = label.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(label, name);
            ui_.device->addItem(label, name);
        }
        if (!selectData(ui_.device, QString::fromStdString(last)))
            ui_.device->setCurrentIndex(devices.empty() ? -1 : 0);
    }
    if (failure != scan::Failure::None)
        say(FailureText(failure, {}), true);
    else if (devices.empty())
        say(QCoreApplication::translate("CScanDialog",
                                        "没有找到扫描仪。请连接扫描仪并打开电源，然后点击“刷新”。"),
            true);
    emit devicesShown();
    if (devices.empty()) {
        updateEnabled();
        restoreFocus();
    } else
        deviceChosen();
}

std::string CScanDialog::currentDevice() const {
    return ui_.device->currentData().toString().toStdString();
}

void CScanDialog::deviceChosen() {
    capabilitiesKnown_ = false;
    holdFocus();
    updateEnabled();
    const std::string device = currentDevice();
    if (device.empty())
        return;
    const int request = ++requests_;
    say(QCoreApplication::translate("CScanDialog", "正在读取扫描仪的设置..."));
    const QPointer<CScanDialog> window(this);
    service_.capabilities(device, [window, request, device](scan::Capabilities capabilities,
                                                            scan::Failure failure,
                                                            const std::string& message) {
        onWindowThread(window, [request, device, capabilities = std::move(capabilities), failure,
                                message = QString::fromStdString(message)](CScanDialog* w) {
            if (request == w->requests_)
                w->showCapabilities(device, capabilities, failure, message);
        });
    });
}

void CScanDialog::showCapabilities(const std::string& device,
                                   const scan::Capabilities& capabilities, scan::Failure failure,
                                   const QString& message) {
    if (failure != scan::Failure::None) {
        say(FailureText(failure, message), true);
        updateEnabled();
        restoreFocus();
        emit choicesShown();
        return;
    }
    ui_.source->clear();
    for (const scan::Source source : capabilities.sources)
        ui_.source->addItem(sourceName(source), static_cast<int>(source));
    ui_.colour->clear();
    for (const scan::Colour colour : capabilities.colours)
        ui_.colour->addItem(colourName(colour), static_cast<int>(colour));
    ui_.resolution->clear();
    for (const int dpi : capabilities.resolutions)
        ui_.resolution->addItem(QCoreApplication::translate("CScanDialog", "%1 dpi").arg(dpi), dpi);
    ui_.paper->clear();
    for (const Paper& paper : PapersThatFit(capabilities.maxWidthMm, capabilities.maxHeightMm))
        ui_.paper->addItem(*paper.name ? QString::fromLatin1(paper.name)
                                       : QCoreApplication::translate("CScanDialog", "整个扫描区域"),
                           QSizeF(paper.widthMm, paper.heightMm));
    capabilitiesKnown_ = true;
    applyChoices(GetScanChoices(device));
    say({});
    updateEnabled();
    restoreFocus();
    emit choicesShown();
}

void CScanDialog::applyChoices(const scan::Choices& choices) {
    selectData(ui_.source, static_cast<int>(choices.source));
    selectData(ui_.colour, static_cast<int>(choices.colour));
    // A resolution the device lacks gives way to the nearest it offers.
    int nearest = -1;
    for (int i = 0; i < ui_.resolution->count(); ++i) {
        const int distance = std::abs(ui_.resolution->itemData(i).toInt() - choices.resolution);
        if (nearest < 0 ||
            distance < std::abs(ui_.resolution->itemData(nearest).toInt() - choices.resolution))
            nearest = i;
    }
    ui_.resolution->setCurrentIndex(nearest);
    int paper = 0;
    for (int i = 0; i < ui_.paper->count(); ++i) {
        const QSizeF size = ui_.paper->itemData(i).toSizeF();
        if (std::abs(size.width() - choices.widthMm) < 0.05 &&
            std::abs(size.height() - choices.heightMm) < 0.05)
            paper = i;
    }
    ui_.paper->setCurrentIndex(ui_.paper->count() ? paper : -1);
    ui_.skipBlank->setChecked(choices.skipBlank);
    ui_.blankInk->setValue(choices.blankInkPermille);
}

scan::Choices CScanDialog::currentChoices() const {
    scan::Choices choices;
    choices.source = static_cast<scan::Source>(ui_.source->currentData().toInt());
    choices.colour = static_cast<scan::Colour>(ui_.colour->currentData().toInt());
    choices.resolution = ui_.resolution->currentData().toInt();
    const QSizeF paper = ui_.paper->currentData().toSizeF();
    choices.widthMm = paper.isValid() ? paper.width() : 0;
    choices.heightMm = paper.isValid() ? paper.height() : 0;
    choices.skipBlank = ui_.skipBlank->isChecked();
    choices.blankInkPermille = ui_.blankInk->value();
    // The driver's own options, for a test driver's pictures and failures; set by name
    // on the window ("deviceOptions", "name=value" per line) by those who drive it.
    for (const QString& line : property("deviceOptions").toString().split(u'\n')) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0)
            choices.deviceOptions.emplace_back(line.left(eq).trimmed().toStdString(),
                                               line.mid(eq + 1).trimmed().toStdString());
    }
    return choices;
}

void CScanDialog::chooseFolder() {
    const QString folder =
        BrowseForFolder(this, QCoreApplication::translate("CScanDialog", "选择保存扫描的文件夹"),
                        ui_.folder->text());
    if (folder.isEmpty())
        return;
    ui_.folder->setText(folder);
    ui_.folder->setToolTip(folder);
    SetScanFolder(folder.toStdString());
}

void CScanDialog::startScan() {
    const std::string device = currentDevice();
    if (scanning_ || !capabilitiesKnown_ || device.empty())
        return;
    const scan::Choices choices = currentChoices();
    SetScanChoices(device, choices);
    SetLastScanDevice(device);
    scanned_ = skipped_ = 0;
    showCounts();
    ui_.bar->setValue(0);
    ui_.bar->show();
    say(QCoreApplication::translate("CScanDialog", "正在启动扫描仪..."));
    setScanning(true);
    // Each batch is named after the second it began; two that begin within a second
    // share the name, and the service numbers the second one's pages on.
    const QString stem = QStringLiteral("scan-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    service_.scan(device, choices, ui_.folder->text().toStdString(), stem.toStdString(), events_);
}

void CScanDialog::stopScan() {
    if (!scanning_)
        return;
    service_.stop();
    // The disabled button would hand its focus to the folder box, selecting its text;
    // the window keeps it until the batch has ended and Scan takes it.
    if (ui_.stop->hasFocus())
        setFocus();
    ui_.stop->setEnabled(false);
    say(QCoreApplication::translate("CScanDialog", "正在停止..."));
}

void CScanDialog::batchEnded(scan::Failure failure, bool stopped, const QString& message) {
    setScanning(false);
    ui_.bar->setValue(failure == scan::Failure::None && !stopped ? ui_.bar->maximum() : 0);
    if (failure != scan::Failure::None) {
        QString text = FailureText(failure, message);
        if (scanned_ > 0)
            text += QLatin1Char('\n') +
                    QCoreApplication::translate("CScanDialog", "之前扫描的 %1 页已添加到列表中。")
                        .arg(scanned_);
        say(text, true);
    } else if (stopped) {
        say(QCoreApplication::translate("CScanDialog",
                                        "扫描已停止。之前扫描的 %1 页已添加到列表中。")
                .arg(scanned_));
    } else {
        say(QCoreApplication::translate("CScanDialog", "扫描完成。"));
    }
    emit batchFinished();
    if (closeAfterBatch_)
        QDialog::reject();
}

void CScanDialog::setScanning(bool on) {
    scanning_ = on;
    ui_.stop->setVisible(on);
    ui_.stop->setEnabled(on);
    ui_.close->setVisible(!on);
    updateEnabled();
    // The button pressed goes away or is disabled: the focus goes where the next key is
    // most likely meant for.
    (on ? ui_.stop : ui_.scan)->setFocus();
}

void CScanDialog::updateEnabled() {
    const bool idle = !scanning_ && !listing_;
    ui_.device->setEnabled(idle && ui_.device->count() > 0);
    ui_.refresh->setEnabled(idle);
    for (QComboBox* box : {ui_.source, ui_.colour, ui_.resolution})
        box->setEnabled(idle && capabilitiesKnown_);
    ui_.paper->setEnabled(idle && capabilitiesKnown_ && ui_.paper->count() > 0);
    ui_.skipBlank->setEnabled(idle && capabilitiesKnown_);
    ui_.blankInk->setEnabled(idle && capabilitiesKnown_ && ui_.skipBlank->isChecked());
    ui_.blankInkLabel->setEnabled(ui_.blankInk->isEnabled());
    ui_.browse->setEnabled(!scanning_);
    ui_.scan->setEnabled(idle && capabilitiesKnown_);
}

void CScanDialog::holdFocus() {
    QWidget* focus = focusWidget();
    if (focus && !focusBefore_)
        focusBefore_ = focus;
}

void CScanDialog::restoreFocus() {
    QWidget* back = focusBefore_ && focusBefore_->isEnabled() ? focusBefore_.data() : nullptr;
    focusBefore_ = nullptr;
    if (!back)
        back = ui_.device->isEnabled() ? static_cast<QWidget*>(ui_.device) : ui_.refresh;
    back->setFocus();
}

void CScanDialog::reject() {
    if (!scanning_) {
        QDialog::reject();
        return;
    }
    closeAfterBatch_ = true;
    stopScan();
}

} // namespace folimo::ui
