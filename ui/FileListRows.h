// The image list as the multi-column list shows it: each row's panel filled from an item
// of the list (number, thumbnail, name, path, resolution, size, times, pages; red text for
// a file that could not be read), and the list's selection, sorting and moving passed
// through. A row shows its file type's icon until its thumbnail is made.
#pragma once

#include "FileIconSource.h"
#include "McAdapter.h"

#include <ImageList.h>
#include <RowThumbnails.h>

#include <memory>
#include <vector>

namespace folimo::ui {

class CFileListRows : public IMcAdapterEx, public IMcCellText, private IImageListObserver {
public:
    explicit CFileListRows(std::shared_ptr<SFileListAdapter> list);
    ~CFileListRows() override;
    CFileListRows(const CFileListRows&) = delete;
    CFileListRows& operator=(const CFileListRows&) = delete;

    SFileListAdapter& List() const { return *list_; }

    void RegisterDataSetObserver(IDataSetObserver* observer) override;
    void UnregisterDataSetObserver(IDataSetObserver* observer) override;
    int GetCount() override { return list_->GetCount(); }
    void GetView(int row, QWidget* panel, const QString& itemTemplate) override;
    int GetItemViewType(int, unsigned) override { return 0; }
    int GetViewTypeCount() override { return 1; }
    QSize GetViewDesiredSize(int row, QWidget* panel, QSize available) override;
    bool IsEmpty() override { return list_->GetCount() == 0; }
    void* GetItemData(int row) override { return list_->GetItemData(row).get(); }
    QString GetItemDesc(int) override { return {}; }
    void InitByTemplate(const QString&) override {}
    QString GetColumnName(int column) override;
    bool IsColumnVisible(int) override { return true; }
    bool OnSort(int column, int* flags, int count) override;

    void ToggleItemSelected(int row) override { list_->ToggleItemSelected(row); }
    void SelectRangeToItem(int row) override { list_->SelectRangeToItem(row); }
    void ClearSelection() override { list_->ClearSelection(); }
    void SelectOnly(int row) override { list_->SelectOnly(row); }
    bool IsItemSelected(int row) override { return list_->IsItemSelected(row); }
    void BeginRangeSelection(int row) override { list_->BeginRangeSelection(row); }
    void ExtendRangeSelection(int row) override { list_->ExtendRangeSelection(row); }
    void EndRangeSelection() override { list_->EndRangeSelection(); }
    void MoveSelectionTo(int row) override { list_->MoveSelectionTo(row); }
    bool MoveItemsTo(int row, const std::vector<int>& selection) override;
    std::vector<int> GetSelection() override { return list_->GetSelection(); }

    // The text a row shows in a column (creation index), built or not.
    QString GetCellText(int row, int column) override;

private:
    void OnListChanged() override;
    void OnListInvalidated() override;
    void OnListItemChanged(int row) override;
    void thumbnailsMade(const std::vector<QString>& paths);

    std::shared_ptr<SFileListAdapter> list_;
    std::vector<IDataSetObserver*> observers_;
    FileIconSource icons_;
    RowThumbnails thumbnails_;
};

} // namespace folimo::ui
