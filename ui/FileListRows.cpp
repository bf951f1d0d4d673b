#include "FileListRows.h"

#include "SMCListViewEx.h"

#include <folimo/WideText.h>

#include <QCoreApplication>
#include <QLabel>

namespace folimo::ui {

namespace {

// The cells' labels by column: the number, then the item's fields in order.
constexpr const char* kLabels[] = {"txt_number",      "txt_name",      "txt_path",
                                   "txt_dpi",         "txt_size",      "txt_create_time",
                                   "txt_change_time", "txt_page_count"};
constexpr int kColumns = int(std::size(kLabels));

QString text(const std::wstring& field) {
    return QString::fromStdWString(folimo::displayText(field));
}

} // namespace

CFileListRows::CFileListRows(std::shared_ptr<SFileListAdapter> list)
    : list_(std::move(list)),
      thumbnails_([this](const std::vector<QString>& paths) { thumbnailsMade(paths); }) {
    list_->RegisterObserver(this);
}

CFileListRows::~CFileListRows() {
    list_->UnregisterObserver(this);
}

void CFileListRows::RegisterDataSetObserver(IDataSetObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void CFileListRows::UnregisterDataSetObserver(IDataSetObserver* observer) {
    std::erase(observers_, observer);
}

QString CFileListRows::GetCellText(int row, int column) {
    const ImageListItemPtr item = list_->GetItemData(row);
    if (!item || column < 0 || column >= kColumns)
        return {};
    if (column == 0)
        return QString::number(row + 1);
    // A row kept from an earlier run whose file has gone says so where its picture's
    // size would stand.
    if (column - 1 == ImageListItem::Resolution && item->isMissing())
        return QCoreApplication::translate("CFileListRows", "文件不存在");
    return text(item->field(ImageListItem::Field(column - 1)));
}

void CFileListRows::GetView(int row, QWidget* panel, const QString& itemTemplate) {
    const ImageListItemPtr item = list_->GetItemData(row);
    if (!item || !panel)
        return;
    // A panel's first filling builds its controls (a style may have given it objects
    // that are not widgets).
    if (panel->findChildren<QWidget*>().isEmpty())
        McItemPanel::BuildFromTemplate(panel, itemTemplate);
    for (int column = 0; column < kColumns; ++column)
        if (auto* label = panel->findChild<QLabel*>(QLatin1String(kLabels[column])))
            label->setText(GetCellText(row, column));
    if (auto* icon = panel->findChild<QLabel*>(QStringLiteral("img_icon"))) {
        const QString path = QString::fromStdWString(item->field(ImageListItem::Path));
        const qreal ratio = icon->devicePixelRatioF();
        const QImage thumbnail = thumbnails_.Find(path, item->clockwiseDegrees() / 90);
        QPixmap picture;
        if (thumbnail.isNull()) {
            picture = icons_.icon(path).pixmap(icon->maximumSize().boundedTo(QSize(16, 16)), ratio);
        } else {
            picture = QPixmap::fromImage(thumbnail.scaled(
                icon->maximumSize() * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation));
            picture.setDevicePixelRatio(ratio);
        }
        icon->setAlignment(Qt::AlignCenter);
        icon->setPixmap(picture);
    }
    // The row's text colour. A window with a style sheet does not hand its palette down,
    // so the panel's labels get it by a sheet of their own, made anew only when a
    // recycled panel changes colour.
    const QString colour = item->isError() ? QStringLiteral("#ff0000") : QStringLiteral("#000000");
    if (panel->property("colorText").toString() != colour) {
        panel->setProperty("colorText", colour);
        panel->setStyleSheet(QStringLiteral("QLabel { color: %1; }").arg(colour));
    }
}

QSize CFileListRows::GetViewDesiredSize(int, QWidget* panel, QSize available) {
    return QSize(available.width(), panel ? panel->sizeHint().height() : 0);
}

QString CFileListRows::GetColumnName(int column) {
    return QString::fromStdWString(SFileListAdapter::GetColumnName(column));
}

bool CFileListRows::OnSort(int column, int* flags, int count) {
    // The view redraws itself; the list's other observers (its history) learn it here.
    const bool sorted = list_->OnSort(column, flags, count);
    if (sorted)
        list_->NotifyInvalidated();
    return sorted;
}

bool CFileListRows::MoveItemsTo(int row, const std::vector<int>& selection) {
    return list_->MoveItemsTo(row, selection);
}

void CFileListRows::OnListChanged() {
    for (IDataSetObserver* observer : std::vector(observers_))
        observer->OnChanged();
}

void CFileListRows::OnListInvalidated() {
    for (IDataSetObserver* observer : std::vector(observers_))
        observer->OnInvalidated();
}

void CFileListRows::thumbnailsMade(const std::vector<QString>&) {
    // Only rows being drawn ask for thumbnails, so the rows in view are the ones to fill
    // again: a redraw of them costs the same for ten rows or ten thousand, where finding
    // the made files' rows would go through the whole list at every delivery.
    OnListInvalidated();
}

void CFileListRows::OnListItemChanged(int row) {
    for (IDataSetObserver* observer : std::vector(observers_))
        observer->OnItemChanged(row);
}

} // namespace folimo::ui
