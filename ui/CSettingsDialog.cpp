#include "CSettingsDialog.h"

#include "FileDialogs.h"
#include "Resources.h"
#include "UiLoader.h"

#include <SettingsStore.h>
#include <ShellIntegration.h>
#include <TextLanguageNames.h>

#include <QAbstractItemView>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>

#include <algorithm>
#include <optional>

namespace folimo::ui {

namespace {

QString text(const char* name) {
    return GetString(QString::fromLatin1(name));
}

QString fromWide(const wchar_t* text) {
    return text ? QString::fromWCharArray(text) : QString();
}

// The colours offered beside the basic ones, as red, green, blue.
const QList<QColor>& customColors() {
    static const QList<QColor> colors{
        {255, 0, 0}, {0, 255, 0},    {0, 0, 255},   {255, 255, 0},  {255, 0, 255}, {255, 255, 255},
        {50, 20, 0}, {25, 100, 200}, {80, 16, 35},  {255, 199, 20}, {44, 45, 32},  {22, 200, 190},
        {155, 0, 0}, {50, 50, 50},   {155, 12, 90}, {100, 200, 0},
    };
    return colors;
}

// An engine colour (red in the low byte) as "#rrggbb", and back.
QString colorText(int color) {
    const auto byte = [color](int shift) {
        return QStringLiteral("%1").arg((color >> shift) & 0xFF, 2, 16, QLatin1Char('0'));
    };
    return QLatin1Char('#') + byte(0) + byte(8) + byte(16);
}

int engineColor(const QColor& color) {
    return color.red() | color.green() << 8 | color.blue() << 16;
}

const struct {
    int index;
    const char* edit;
} kInfoEdits[] = {
    // The order in which confirmation compares and sets them.
    {FOLIMO_INFO_TITLE, "edit_pdf_title"},       {FOLIMO_INFO_CREATOR, "edit_pdf_creator"},
    {FOLIMO_INFO_SUBJECT, "edit_pdf_subject"},   {FOLIMO_INFO_AUTHOR, "edit_pdf_writer"},
    {FOLIMO_INFO_KEYWORDS, "edit_pdf_keywords"},
};

// The layout check boxes with the record's flag operations.
const struct {
    const char* box;
    int (IFolimoSettings::*get)();
    int (IFolimoSettings::*set)(int);
} kLayoutFlags[] = {
    {"check_rung_page", &IFolimoSettings::GetRotatePage, &IFolimoSettings::SetRotatePage},
    {"check_double_page", &IFolimoSettings::GetDoublePage, &IFolimoSettings::SetDoublePage},
    {"check_img_in_page", &IFolimoSettings::GetImageInPage, &IFolimoSettings::SetImageInPage},
    {"check_img_auto_rotate", &IFolimoSettings::GetImageAutoRotate,
     &IFolimoSettings::SetImageAutoRotate},
};

// Opacities are percentages; one beyond them (a record filled by other code) shows at the
// nearest end rather than overflowing.
int transparency(int opacity) {
    return 100 - std::clamp(opacity, 0, 100);
}

void setPath(QLineEdit* edit, const QString& path) {
    edit->setText(path);
    edit->setCursorPosition(0); // long paths show their beginning
}

} // namespace

CSettingsDialog::CSettingsDialog(IFolimoSettings* settings, QWidget* parent,
                                 const QString& textData)
    : QDialog(parent), settings_(settings) {
    const QWidget* root = buildLayoutInto(this, QStringLiteral("LAYOUT:XML_SETTINGSWND"));
    const auto bind = [root]<class T>(T*& control, const char* name) {
        control = bindControl<T>(root, QLatin1String(name));
    };
    bind(ui_.pdfPath, "edit_pdf_path");
    bind(ui_.showAd, "check_show_ad");
    bind(ui_.moveItemSort, "check_move_item_sort");
    bind(ui_.contextMenu, "check_context_menu");
    bind(ui_.addBookmark, "check_add_bookmark");
    for (std::size_t i = 0; i < ui_.info.size(); ++i)
        bind(ui_.info[i], kInfoEdits[i].edit);
    bind(ui_.imageCode, "cbx_image_code");
    bind(ui_.defaultCode, "cbx_image_default_code");
    bind(ui_.pageSize, "cbx_page_size");
    for (std::size_t i = 0; i < ui_.layoutFlags.size(); ++i)
        bind(ui_.layoutFlags[i], kLayoutFlags[i].box);
    bind(ui_.textGroup, "grp_text_watermark");
    bind(ui_.text, "edit_text");
    bind(ui_.colorSwatch, "div_text_color");
    bind(ui_.colorText, "txt_text_color");
    bind(ui_.imageGroup, "grp_image_watermark");
    bind(ui_.imagePath, "edit_image_path");
    bind(ui_.recognizeText, "check_recognize_text");
    bind(ui_.textLanguages, "list_text_languages");
    bind(ui_.textDataMissing, "hint_text_data_missing");
    bind(ui_.uprightByText, "check_upright_by_text");
    // The number boxes offer what the store would load, so nothing typed can be stored out
    // of range. A transparency box shows 100 - the stored opacity.
    const struct {
        QSpinBox*& box;
        const char* name;
        const wchar_t* stored;
        bool transparency = false;
    } numbers[] = {
        {ui_.jpegQuality, "edit_jpeg_ratio", L"JpepPercent"},
        {ui_.maxWidth, "edit_image_maxx", L"ImageMaxX"},
        {ui_.maxHeight, "edit_image_maxy", L"ImageMaxY"},
        {ui_.dpi, "edit_dpi", L"DPI"},
        {ui_.marginLeft, "edit_page_margin_left", L"MearginLeft"},
        {ui_.marginTop, "edit_page_margin_top", L"MearginTop"},
        {ui_.fontSize, "edit_font_size", L"WaterFontSize"},
        {ui_.textTransparency, "edit_text_opcity", L"WaterTranslucence", true},
        {ui_.textX, "edit_text_pos_x", L"WaterPosX"},
        {ui_.textY, "edit_text_pos_y", L"WaterPosY"},
        {ui_.imageX, "edit_image_pos_x", L"WaterImageX"},
        {ui_.imageY, "edit_image_pos_y", L"WaterImageY"},
        {ui_.imageTransparency, "edit_image_opcity", L"WaterImageOpcity", true},
    };
    for (const auto& number : numbers) {
        bind(number.box, number.name);
        const StoredRange range = StoredNumberRange(number.stored);
        if (number.transparency)
            number.box->setRange(100 - range.most, 100 - range.least);
        else
            number.box->setRange(range.least, range.most);
    }
    // A screen reader names the open list as it names the closed one (by its label).
    for (QComboBox* list : {ui_.imageCode, ui_.defaultCode, ui_.pageSize})
        list->view()->setAccessibleName(
            QAccessible::queryAccessibleInterface(list)->text(QAccessible::Name));

    const std::pair<const char*, void (CSettingsDialog::*)()> buttons[] = {
        {"btn_ok", &CSettingsDialog::accept},
        {"btn_cancel", &CSettingsDialog::reject},
        {"btn_browse", &CSettingsDialog::chooseFolder},
        {"btn_text_color", &CSettingsDialog::chooseColor},
        {"bt_image_path", &CSettingsDialog::chooseImage},
    };
    for (const auto& [name, slot] : buttons)
        connect(bindControl<QPushButton>(root, QLatin1String(name)), &QPushButton::clicked, this,
                slot);

    // Large text (a scale factor of 2 on a small screen) must not push the buttons off
    // the screen: the pages scroll instead. Some room is left for the window's frame.
    if (const QScreen* screen = (parent ? parent : this)->screen())
        resize(size().boundedTo(screen->availableGeometry().size() - QSize(16, 48)));
    fill();
    fillRecognition(textData);
    connect(ui_.recognizeText, &QCheckBox::toggled, this, &CSettingsDialog::enableRecognition);
    // Not a browse button: Enter in the window confirms it.
    ui_.pdfPath->setFocus();
}

template <class T>
T* CSettingsDialog::watermark(int index, int type) const {
    IWatermark* mark =
        settings_ && settings_->GetWatermarkCount() > 1 ? settings_->GetWatermark(index) : nullptr;
    return mark && mark->GetType() == type ? static_cast<T*>(mark) : nullptr;
}

void CSettingsDialog::fill() {
    setPath(ui_.pdfPath, QString::fromStdWString(GetPdfFolder()));
    ui_.showAd->setChecked(GetShowAd() == 0);
    ui_.moveItemSort->setChecked(GetMoveItemReSort() != 0);
    ui_.contextMenu->setChecked(IsContextMenuRegistered() != 0);
    if (!settings_)
        return;
    IFolimoSettings& s = *settings_;
    ui_.addBookmark->setChecked(s.GetCreateBookmark() != 0);
    for (std::size_t i = 0; i < ui_.info.size(); ++i)
        ui_.info[i]->setText(fromWide(s.GetInfo(kInfoEdits[i].index)));

    // A stored code the list does not offer shows no selection, and confirming keeps it.
    const auto select = [](QComboBox* list, int index) {
        list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
    };
    select(ui_.imageCode, s.GetImageEncode());
    select(ui_.defaultCode, s.GetDefaultImageEncode() - 1);
    ui_.jpegQuality->setValue(s.GetJpegQuality());
    int maxWidth = 0, maxHeight = 0;
    s.GetImageMaxSize(&maxWidth, &maxHeight);
    ui_.maxWidth->setValue(maxWidth);
    ui_.maxHeight->setValue(maxHeight);
    ui_.dpi->setValue(s.GetDpi());
    select(ui_.pageSize, s.GetPageSize());

    for (std::size_t i = 0; i < ui_.layoutFlags.size(); ++i)
        ui_.layoutFlags[i]->setChecked((s.*kLayoutFlags[i].get)() != 0);
    ui_.marginLeft->setValue(s.GetMargin(FOLIMO_MARGIN_LEFT));
    ui_.marginTop->setValue(s.GetMargin(FOLIMO_MARGIN_TOP));

    auto* textMark = watermark<ITextWatermark>(0, FOLIMO_WATERMARK_TEXT);
    auto* imageMark = watermark<IImageWatermark>(1, FOLIMO_WATERMARK_IMAGE);
    // Without the two watermarks there is nothing the watermark controls could change.
    ui_.textGroup->setEnabled(textMark && imageMark);
    ui_.imageGroup->setEnabled(textMark && imageMark);
    if (!textMark || !imageMark)
        return;
    int x = 0, y = 0;
    ui_.text->setText(fromWide(textMark->GetText()));
    ui_.fontSize->setValue(textMark->GetFontSize());
    ui_.textTransparency->setValue(transparency(textMark->GetOpacity()));
    textMark->GetPosition(&x, &y);
    ui_.textX->setValue(x);
    ui_.textY->setValue(y);
    textColor_ = textMark->GetColor();
    showTextColor();

    setPath(ui_.imagePath, fromWide(imageMark->GetImagePath()));
    imageMark->GetPosition(&x, &y);
    ui_.imageX->setValue(x);
    ui_.imageY->setValue(y);
    ui_.imageTransparency->setValue(transparency(imageMark->GetOpacity()));
}

void CSettingsDialog::fillRecognition(const QString& textData) {
    QStringList installed = SplitTextLanguages(textData);
    canTurnUpright_ = installed.removeAll(QStringLiteral("osd")) > 0;
    const QString recognized = settings_ ? fromWide(settings_->GetTextLanguages()) : QString();
    // While recognition is off the record has no languages; the store keeps the choice.
    const QStringList chosen = SplitTextLanguages(
        recognized.isEmpty() ? QString::fromStdWString(GetChosenTextLanguages()) : recognized);
    ui_.recognizeText->setChecked(!recognized.isEmpty());
    // The chosen languages lead in their order, which is Tesseract's order of trying
    // them. One whose data has gone stays, so that confirming keeps it and a run tells
    // which package brings it back.
    QStringList shown = chosen;
    for (const QString& code : installed)
        if (!shown.contains(code))
            shown.append(code);
    ui_.textLanguages->clear();
    for (const QString& code : shown) {
        auto* item = new QListWidgetItem(TextLanguageName(code), ui_.textLanguages);
        item->setData(Qt::UserRole, code);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(chosen.contains(code) ? Qt::Checked : Qt::Unchecked);
        if (!installed.contains(code)) {
            item->setText(
                QCoreApplication::translate("CSettingsDialog", "%1 - 未安装").arg(item->text()));
            item->setToolTip(QCoreApplication::translate("CSettingsDialog", "请安装Debian软件包 %1")
                                 .arg(TextDataPackage(code)));
        }
    }
    if (ui_.textLanguages->count() > 0)
        ui_.textLanguages->setCurrentRow(0);
    // As tall as its languages, up to eight, so that the options below it stay in sight
    // at a large scale; a machine with many languages installed scrolls the list instead.
    QListWidget* list = ui_.textLanguages;
    const int row = list->count() > 0 ? list->sizeHintForRow(0) : list->fontMetrics().height();
    list->setFixedHeight(row * std::clamp(list->count(), 3, 8) + 2 * list->frameWidth());
    ui_.textDataMissing->setVisible(installed.isEmpty());
    ui_.uprightByText->setChecked(settings_ && settings_->GetUprightByText() != 0);
    ui_.uprightByText->setToolTip(
        canTurnUpright_
            ? QString()
            : QCoreApplication::translate(
                  "CSettingsDialog", "需要文字方向数据: 请安装Debian软件包 tesseract-ocr-osd"));
    ui_.uprightByText->setAccessibleDescription(ui_.uprightByText->toolTip());
    enableRecognition();
}

void CSettingsDialog::enableRecognition() {
    const bool on = ui_.recognizeText->isChecked();
    ui_.textLanguages->setEnabled(on);
    ui_.uprightByText->setEnabled(on && canTurnUpright_);
}

void CSettingsDialog::applyRecognition() {
    QStringList checked;
    for (int row = 0; row < ui_.textLanguages->count(); ++row)
        if (const QListWidgetItem* item = ui_.textLanguages->item(row);
            item->checkState() == Qt::Checked)
            checked.append(item->data(Qt::UserRole).toString());
    // With every language unticked, the ones chosen before stay.
    const std::wstring chosen = checked.isEmpty() ? GetChosenTextLanguages()
                                                  : checked.join(QLatin1Char('+')).toStdWString();
    if (chosen != GetChosenTextLanguages())
        SetChosenTextLanguages(chosen);
    if (!settings_)
        return;
    IFolimoSettings& s = *settings_;
    const std::wstring languages = ui_.recognizeText->isChecked() ? chosen : std::wstring();
    if (fromWide(s.GetTextLanguages()).toStdWString() != languages)
        s.SetTextLanguages(languages.c_str());
    if (const int upright = ui_.uprightByText->isChecked(); upright != s.GetUprightByText())
        s.SetUprightByText(upright);
}

void CSettingsDialog::showTextColor() {
    const QString color = colorText(textColor_);
    ui_.colorSwatch->setProperty("colorBkgnd", color);
    ui_.colorSwatch->setStyleSheet(
        QStringLiteral("background-color: %1; border: 1px solid #9aa3af;").arg(color));
    ui_.colorSwatch->setToolTip(color);
    ui_.colorSwatch->setAccessibleDescription(color);
    ui_.colorText->setText(color);
}

void CSettingsDialog::chooseFolder() {
    // No start folder: it opens where the main window's browser was last.
    const QString folder = BrowseForFolder(this, text("title_choose_pdf_folder"));
    if (!folder.isEmpty())
        setPath(ui_.pdfPath, QDir::toNativeSeparators(folder));
}

void CSettingsDialog::chooseColor() {
    // It starts at the colour shown, so that OK at once changes nothing.
    const std::optional<QColor> chosen =
        ChooseColor(this, text("title_choose_text_color"),
                    QColor::fromString(colorText(textColor_)), customColors());
    if (!chosen)
        return;
    textColor_ = engineColor(*chosen);
    showTextColor();
}

void CSettingsDialog::chooseImage() {
    const QStringList filters{
        NameFilter(text("filter_all_files_name"), text("filter_all_files_pattern")),
        NameFilter(text("filter_images_name"), text("filter_images_pattern")),
    };
    QString startAt = QFileInfo(ui_.imagePath->text()).absolutePath();
    if (ui_.imagePath->text().isEmpty() || !QFileInfo(startAt).isDir())
        startAt.clear();
    // Everything is listed as the first filter, but the dialog opens on the images.
    const QString image = ChooseOpenFile(this, {}, filters, 1, startAt);
    if (!image.isEmpty())
        setPath(ui_.imagePath, QDir::toNativeSeparators(image));
}

void CSettingsDialog::accept() {
    apply();
    if (settings_)
        SaveEngineSettings(settings_);
    QDialog::accept();
}

void CSettingsDialog::apply() {
    if (const QString folder = ui_.pdfPath->text();
        folder != QString::fromStdWString(GetPdfFolder()))
        SetPdfFolder(folder.toStdWString());
    // Checked hides the panel: "ShowAD" is the opposite of the box.
    if (const int hide = ui_.showAd->isChecked(); GetShowAd() == hide)
        SetShowAd(!hide);
    if (const int sort = ui_.moveItemSort->isChecked(); GetMoveItemReSort() != sort)
        SetMoveItemReSort(sort);
    if (const int verb = ui_.contextMenu->isChecked();
        verb != IsContextMenuRegistered() && !SetContextMenu(verb))
        QMessageBox::warning(this, text("msgbox_caption"), text("msg_context_menu_needs_admin"));
    applyRecognition();
    if (!settings_)
        return;

    IFolimoSettings& s = *settings_;
    if (const int on = ui_.addBookmark->isChecked(); on != s.GetCreateBookmark())
        s.SetCreateBookmark(on);
    for (std::size_t i = 0; i < ui_.info.size(); ++i)
        if (const QString value = ui_.info[i]->text();
            value != fromWide(s.GetInfo(kInfoEdits[i].index)))
            s.SetInfo(kInfoEdits[i].index, value.toStdWString().c_str());

    if (const int code = ui_.imageCode->currentIndex(); code >= 0 && code != s.GetImageEncode())
        s.SetImageEncode(code);
    if (const int code = ui_.defaultCode->currentIndex();
        code >= 0 && code + 1 != s.GetDefaultImageEncode())
        s.SetDefaultImageEncode(code + 1);
    if (const int quality = ui_.jpegQuality->value(); quality != s.GetJpegQuality())
        s.SetJpegQuality(quality);
    int maxWidth = 0, maxHeight = 0;
    s.GetImageMaxSize(&maxWidth, &maxHeight);
    if (ui_.maxWidth->value() != maxWidth || ui_.maxHeight->value() != maxHeight)
        s.SetImageMaxSize(ui_.maxWidth->value(), ui_.maxHeight->value());
    if (const int dpi = ui_.dpi->value(); dpi != s.GetDpi())
        s.SetDpi(dpi);
    if (const int code = ui_.pageSize->currentIndex(); code >= 0 && code != s.GetPageSize())
        s.SetPageSize(code);

    for (std::size_t i = 0; i < ui_.layoutFlags.size(); ++i)
        if (const int on = ui_.layoutFlags[i]->isChecked(); on != (s.*kLayoutFlags[i].get)())
            (s.*kLayoutFlags[i].set)(on);
    // The left and top margins stand for the right and bottom ones too.
    if (const int left = ui_.marginLeft->value(); left != s.GetMargin(FOLIMO_MARGIN_LEFT)) {
        s.SetMargin(FOLIMO_MARGIN_LEFT, left);
        s.SetMargin(FOLIMO_MARGIN_RIGHT, left);
    }
    if (const int top = ui_.marginTop->value(); top != s.GetMargin(FOLIMO_MARGIN_TOP)) {
        s.SetMargin(FOLIMO_MARGIN_TOP, top);
        s.SetMargin(FOLIMO_MARGIN_BOTTOM, top);
    }

    auto* textMark = watermark<ITextWatermark>(0, FOLIMO_WATERMARK_TEXT);
    auto* imageMark = watermark<IImageWatermark>(1, FOLIMO_WATERMARK_IMAGE);
    if (!textMark || !imageMark)
        return;
    textMark->SetText(ui_.text->text().toStdWString().c_str());
    textMark->SetFontSize(ui_.fontSize->value());
    textMark->SetPosition(ui_.textX->value(), ui_.textY->value());
    textMark->SetColor(textColor_);
    textMark->SetOpacity(100 - ui_.textTransparency->value());

    imageMark->SetImagePath(ui_.imagePath->text().toStdWString().c_str());
    imageMark->SetPosition(ui_.imageX->value(), ui_.imageY->value());
    imageMark->SetOpacity(100 - ui_.imageTransparency->value());
}

} // namespace folimo::ui
