#include "CSettingsDialog.h"

#include "FileDialogs.h"
#include "MessageBox.h"
#include "Resources.h"

#include <DecimalText.h>
#include <SettingsStore.h>
#include <ShellIntegration.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>

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

// What a control holds, or nothing when the layout lacks it: a control that is not
// there must not turn into a value of 0 or "" on confirmation.
template <class T>
T* find(const QObject* root, const char* name) {
    return FindChildByName2<T>(root, QLatin1String(name));
}

std::optional<QString> textOf(const QObject* root, const char* name) {
    if (auto* edit = find<QLineEdit>(root, name))
        return edit->text();
    return std::nullopt;
}

std::optional<int> numberOf(const QObject* root, const char* name) {
    if (auto* edit = find<QLineEdit>(root, name))
        return ParseDecimal(edit->text());
    return std::nullopt;
}

std::optional<int> checkedOf(const QObject* root, const char* name) {
    if (auto* box = find<QCheckBox>(root, name))
        return box->isChecked() ? 1 : 0;
    return std::nullopt;
}

// Nothing for a list without a selection (a stored code it does not offer): confirming
// then keeps the code rather than storing -1.
std::optional<int> selectionOf(const QObject* root, const char* name) {
    if (auto* list = find<QComboBox>(root, name); list && list->currentIndex() >= 0)
        return list->currentIndex();
    return std::nullopt;
}

void setText(const QObject* root, const char* name, const QString& value) {
    if (auto* edit = find<QLineEdit>(root, name)) {
        edit->setText(value);
        edit->setCursorPosition(0); // long paths show their beginning
    }
}

void setNumber(const QObject* root, const char* name, int value) {
    setText(root, name, QString::number(value));
}

void setChecked(const QObject* root, const char* name, bool checked) {
    if (auto* box = find<QCheckBox>(root, name))
        box->setChecked(checked);
}

void select(const QObject* root, const char* name, int index) {
    if (auto* list = find<QComboBox>(root, name))
        list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
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

} // namespace

CSettingsDialog::CSettingsDialog(IFolimoSettings* settings, QWidget* parent)
    : HostDialog(QStringLiteral("LAYOUT:XML_SETTINGSWND"), parent), settings_(settings) {}

ITextWatermark* CSettingsDialog::textWatermark() const {
    if (!settings_ || settings_->GetWatermarkCount() <= 1)
        return nullptr;
    IWatermark* mark = settings_->GetWatermark(0);
    return mark && mark->GetType() == FOLIMO_WATERMARK_TEXT ? static_cast<ITextWatermark*>(mark)
                                                            : nullptr;
}

IImageWatermark* CSettingsDialog::imageWatermark() const {
    if (!settings_ || settings_->GetWatermarkCount() <= 1)
        return nullptr;
    IWatermark* mark = settings_->GetWatermark(1);
    return mark && mark->GetType() == FOLIMO_WATERMARK_IMAGE ? static_cast<IImageWatermark*>(mark)
                                                             : nullptr;
}

void CSettingsDialog::OnInit() {
    // Large text (a scale factor of 2 on a small screen) must not push the buttons off
    // the screen: the pages scroll instead. Some room is left for the window's frame.
    const QWidget* near = parentWidget() ? parentWidget() : this;
    if (const QScreen* screen = near->screen()) {
        resize(size().boundedTo(screen->availableGeometry().size() - QSize(16, 48)));
    }
    fill();
    // Not a browse button: Enter in the window confirms it.
    if (QWidget* first = FindChildByName(QStringLiteral("edit_pdf_path")))
        first->setFocus();
}

void CSettingsDialog::fill() {
    setText(this, "edit_pdf_path", QString::fromStdWString(GetPdfFolder()));
    setChecked(this, "check_show_ad", GetShowAd() == 0);
    setChecked(this, "check_move_item_sort", GetMoveItemReSort() != 0);
    setChecked(this, "check_context_menu", IsContextMenuRegistered() != 0);
    if (!settings_)
        return;
    IFolimoSettings& s = *settings_;
    setChecked(this, "check_add_bookmark", s.GetCreateBookmark() != 0);
    for (const auto& info : kInfoEdits)
        setText(this, info.edit, fromWide(s.GetInfo(info.index)));

    select(this, "cbx_image_code", s.GetImageEncode());
    select(this, "cbx_image_default_code", s.GetDefaultImageEncode() - 1);
    setNumber(this, "edit_jpeg_ratio", s.GetJpegQuality());
    int maxWidth = 0, maxHeight = 0;
    s.GetImageMaxSize(&maxWidth, &maxHeight);
    setNumber(this, "edit_image_maxx", maxWidth);
    setNumber(this, "edit_image_maxy", maxHeight);
    setNumber(this, "edit_dpi", s.GetDpi());
    select(this, "cbx_page_size", s.GetPageSize());

    for (const auto& flag : kLayoutFlags)
        setChecked(this, flag.box, (s.*flag.get)() != 0);
    setNumber(this, "edit_page_margin_left", s.GetMargin(FOLIMO_MARGIN_LEFT));
    setNumber(this, "edit_page_margin_top", s.GetMargin(FOLIMO_MARGIN_TOP));

    ITextWatermark* textMark = textWatermark();
    IImageWatermark* imageMark = imageWatermark();
    // Without the two watermarks there is nothing the watermark controls could change.
    for (const char* group : {"grp_text_watermark", "grp_image_watermark"})
        if (QWidget* box = FindChildByName(QLatin1String(group)))
            box->setEnabled(textMark && imageMark);
    if (!textMark || !imageMark)
        return;
    int x = 0, y = 0;
    setText(this, "edit_text", fromWide(textMark->GetText()));
    setNumber(this, "edit_font_size", textMark->GetFontSize());
    setNumber(this, "edit_text_opcity", HundredMinus(textMark->GetOpacity()));
    textMark->GetPosition(&x, &y);
    setNumber(this, "edit_text_pos_x", x);
    setNumber(this, "edit_text_pos_y", y);
    textColor_ = textMark->GetColor();
    showTextColor();

    setText(this, "edit_image_path", fromWide(imageMark->GetImagePath()));
    imageMark->GetPosition(&x, &y);
    setNumber(this, "edit_image_pos_x", x);
    setNumber(this, "edit_image_pos_y", y);
    setNumber(this, "edit_image_opcity", HundredMinus(imageMark->GetOpacity()));
}

void CSettingsDialog::showTextColor() {
    const QString color = colorText(textColor_);
    if (auto* swatch = FindChildByName2<QWidget>(QStringLiteral("div_text_color"))) {
        swatch->setProperty("colorBkgnd", color);
        swatch->setStyleSheet(
            QStringLiteral("background-color: %1; border: 1px solid #9aa3af;").arg(color));
        swatch->setToolTip(color);
        swatch->setAccessibleDescription(color);
    }
    if (QWidget* shown = FindChildByName(QStringLiteral("txt_text_color")))
        if (auto* label = qobject_cast<QLabel*>(shown))
            label->setText(color);
}

bool CSettingsDialog::OnCommand(const QString& name) {
    if (name == QLatin1String("btn_ok"))
        OnOK();
    else if (name == QLatin1String("btn_browse"))
        chooseFolder();
    else if (name == QLatin1String("btn_text_color"))
        chooseColor();
    else if (name == QLatin1String("bt_image_path"))
        chooseImage();
    else
        return false;
    return true;
}

void CSettingsDialog::chooseFolder() {
    // No start folder: it opens where the main window's browser was last.
    const QString folder = BrowseForFolder(this, text("title_choose_pdf_folder"));
    if (!folder.isEmpty())
        setText(this, "edit_pdf_path", QDir::toNativeSeparators(folder));
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
    QString startAt;
    if (const std::optional<QString> current = textOf(this, "edit_image_path");
        current && !current->isEmpty())
        startAt = QFileInfo(*current).absolutePath();
    if (!startAt.isEmpty() && !QFileInfo(startAt).isDir())
        startAt.clear();
    // Everything is listed as the first filter, but the dialog opens on the images.
    const QString image = ChooseOpenFile(this, {}, filters, 1, startAt);
    if (!image.isEmpty())
        setText(this, "edit_image_path", QDir::toNativeSeparators(image));
}

void CSettingsDialog::OnOK() {
    apply();
    if (settings_)
        SaveEngineSettings(settings_);
    HostDialog::OnOK();
}

void CSettingsDialog::apply() {
    if (const auto folder = textOf(this, "edit_pdf_path");
        folder && *folder != QString::fromStdWString(GetPdfFolder()))
        SetPdfFolder(folder->toStdWString());
    // Checked hides the panel: "ShowAD" is the opposite of the box.
    if (const auto hide = checkedOf(this, "check_show_ad"); hide && GetShowAd() == *hide)
        SetShowAd(!*hide);
    if (const auto sort = checkedOf(this, "check_move_item_sort");
        sort && GetMoveItemReSort() != *sort)
        SetMoveItemReSort(*sort);
    if (const auto verb = checkedOf(this, "check_context_menu");
        verb && *verb != IsContextMenuRegistered() && !SetContextMenu(*verb))
        SMessageBox(this, text("msg_context_menu_needs_admin"), text("msgbox_caption"),
                    MB_OK | MB_ICONWARNING);
    if (!settings_)
        return;

    IFolimoSettings& s = *settings_;
    if (const auto on = checkedOf(this, "check_add_bookmark"); on && *on != s.GetCreateBookmark())
        s.SetCreateBookmark(*on);
    for (const auto& info : kInfoEdits)
        if (const auto value = textOf(this, info.edit);
            value && *value != fromWide(s.GetInfo(info.index)))
            s.SetInfo(info.index, value->toStdWString().c_str());

    if (const auto code = selectionOf(this, "cbx_image_code"); code && *code != s.GetImageEncode())
        s.SetImageEncode(*code);
    if (const auto code = selectionOf(this, "cbx_image_default_code");
        code && *code + 1 != s.GetDefaultImageEncode())
        s.SetDefaultImageEncode(*code + 1);
    if (const auto quality = numberOf(this, "edit_jpeg_ratio");
        quality && *quality != s.GetJpegQuality())
        s.SetJpegQuality(*quality);
    int maxWidth = 0, maxHeight = 0;
    s.GetImageMaxSize(&maxWidth, &maxHeight);
    const int newWidth = numberOf(this, "edit_image_maxx").value_or(maxWidth);
    const int newHeight = numberOf(this, "edit_image_maxy").value_or(maxHeight);
    if (newWidth != maxWidth || newHeight != maxHeight)
        s.SetImageMaxSize(newWidth, newHeight);
    if (const auto dpi = numberOf(this, "edit_dpi"); dpi && *dpi != s.GetDpi())
        s.SetDpi(*dpi);
    if (const auto code = selectionOf(this, "cbx_page_size"); code && *code != s.GetPageSize())
        s.SetPageSize(*code);

    for (const auto& flag : kLayoutFlags)
        if (const auto on = checkedOf(this, flag.box); on && *on != (s.*flag.get)())
            (s.*flag.set)(*on);
    // The left and top margins stand for the right and bottom ones too.
    if (const auto left = numberOf(this, "edit_page_margin_left");
        left && *left != s.GetMargin(FOLIMO_MARGIN_LEFT)) {
        s.SetMargin(FOLIMO_MARGIN_LEFT, *left);
        s.SetMargin(FOLIMO_MARGIN_RIGHT, *left);
    }
    if (const auto top = numberOf(this, "edit_page_margin_top");
        top && *top != s.GetMargin(FOLIMO_MARGIN_TOP)) {
        s.SetMargin(FOLIMO_MARGIN_TOP, *top);
        s.SetMargin(FOLIMO_MARGIN_BOTTOM, *top);
    }

    ITextWatermark* textMark = textWatermark();
    IImageWatermark* imageMark = imageWatermark();
    if (!textMark || !imageMark)
        return;
    int x = 0, y = 0;
    if (const auto words = textOf(this, "edit_text"))
        textMark->SetText(words->toStdWString().c_str());
    textMark->SetFontSize(numberOf(this, "edit_font_size").value_or(textMark->GetFontSize()));
    textMark->GetPosition(&x, &y);
    textMark->SetPosition(numberOf(this, "edit_text_pos_x").value_or(x),
                          numberOf(this, "edit_text_pos_y").value_or(y));
    textMark->SetColor(textColor_);
    if (const auto transparency = numberOf(this, "edit_text_opcity"))
        textMark->SetOpacity(HundredMinus(*transparency));

    if (const auto path = textOf(this, "edit_image_path"))
        imageMark->SetImagePath(path->toStdWString().c_str());
    imageMark->GetPosition(&x, &y);
    imageMark->SetPosition(numberOf(this, "edit_image_pos_x").value_or(x),
                           numberOf(this, "edit_image_pos_y").value_or(y));
    if (const auto transparency = numberOf(this, "edit_image_opcity"))
        imageMark->SetOpacity(HundredMinus(*transparency));
}

} // namespace folimo::ui
