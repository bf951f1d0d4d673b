#include "SMCListViewEx.h"

#include "Resources.h"
#include "UiLoader.h"

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QToolTip>
#include <QXmlStreamReader>

#include <algorithm>
#include <optional>

namespace folimo::ui {

namespace {

constexpr int autoScrollPeriodMs = 10;
constexpr char defaultRowHeight[] = "30dp";
constexpr char defaultHeaderHeight[] = "28dp";

// Integers of the layout: decimal or "0x" hexadecimal.
std::optional<qint64> layoutNumber(const QString& text) {
    const QString value = text.trimmed();
    bool ok = false;
    const qint64 number = value.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                              ? value.mid(2).toLongLong(&ok, 16)
                              : value.toLongLong(&ok, 10);
    return ok ? std::optional(number) : std::nullopt;
}

// Anything but a number counts as 0, so a flag written "true" is off.
qint64 layoutInteger(const QString& text) {
    return layoutNumber(text).value_or(0);
}

// A colour of the layout: a number in the toolkit's order (alpha, blue, green, red from
// the top byte down) or anything GetColor reads. Empty or unreadable values are refused.
bool layoutColor(const QString& text, QRgb* rgba) {
    if (text.trimmed().isEmpty())
        return false;
    if (const std::optional<qint64> number = layoutNumber(text)) {
        const auto v = quint32(*number);
        *rgba = qRgba(int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF), int(v >> 24));
        return true;
    }
    bool ok = false;
    const QRgb value = GetColor(text, &ok);
    if (ok)
        *rgba = value;
    return ok;
}

// The root widget's own string properties of a .ui file, by lower-case name, without
// building it: the list needs the template's row heights before any row exists.
QHash<QString, QString> templateProperties(const QString& itemTemplate) {
    QHash<QString, QString> properties;
    QFile file(resolveResource(itemTemplate));
    if (itemTemplate.isEmpty() || !file.open(QIODevice::ReadOnly))
        return properties;
    QXmlStreamReader xml(&file);
    bool inRoot = false;
    while (!xml.atEnd() && !xml.hasError()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("widget")) {
            if (inRoot)
                xml.skipCurrentElement();
            inRoot = true;
        } else if (inRoot && xml.name() == QLatin1String("property")) {
            const QString name = xml.attributes().value(QLatin1String("name")).toString();
            QString text;
            while (xml.readNextStartElement())
                text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
            properties.insert(name.toLower(), text);
        }
    }
    return properties;
}

} // namespace

// Where rows stand in the content: all one height, or each its own once measured.
class McRowLocator {
public:
    explicit McRowLocator(int divider) : divider_(divider) {}
    virtual ~McRowLocator() = default;
    virtual bool isFixed() const = 0;
    virtual void setCount(int count) = 0; // the data changed
    virtual int position(int row) const = 0;
    virtual int rowAt(int y) const = 0; // clamped to the rows; -1 with none
    virtual int height(int row) const = 0;
    virtual int totalHeight() const = 0;
    virtual int lineSize() const = 0;
    virtual void setHeight(int, int) {}
    int divider() const { return divider_; }

protected:
    int divider_;
};

namespace {

class FixedRowLocator : public McRowLocator {
public:
    FixedRowLocator(int height, int divider)
        : McRowLocator(divider), height_(std::max(1, height)) {}
    bool isFixed() const override { return true; }
    void setCount(int count) override { count_ = count; }
    int position(int row) const override { return row * step(); }
    int rowAt(int y) const override {
        return count_ == 0 ? -1 : std::clamp(y / step(), 0, count_ - 1);
    }
    int height(int) const override { return height_; }
    int totalHeight() const override { return count_ * step(); }
    int lineSize() const override { return step(); }

private:
    int step() const { return height_ + divider_; }
    int height_;
    int count_ = 0;
};

// Heights in a Fenwick tree, so a row's position, the row at a position and a measured
// height cost log(rows) however long the list is.
class FlexibleRowLocator : public McRowLocator {
public:
    FlexibleRowLocator(int defHeight, int divider)
        : McRowLocator(divider), default_(std::max(1, defHeight)) {}
    bool isFixed() const override { return false; }
    void setCount(int count) override {
        heights_.assign(size_t(count), default_);
        tree_.assign(size_t(count) + 1, 0);
        for (int i = 1; i <= count; ++i) {
            tree_[size_t(i)] += default_ + divider_;
            const int parent = i + (i & -i);
            if (parent <= count)
                tree_[size_t(parent)] += tree_[size_t(i)];
        }
    }
    int position(int row) const override {
        qint64 sum = 0;
        for (int i = std::min(row, count()); i > 0; i -= i & -i)
            sum += tree_[size_t(i)];
        return int(sum);
    }
    int rowAt(int y) const override {
        if (count() == 0)
            return -1;
        int index = 0;
        qint64 rest = y;
        for (int step = highestBit(count()); step > 0; step >>= 1) {
            const int next = index + step;
            if (next <= count() && tree_[size_t(next)] <= rest) {
                index = next;
                rest -= tree_[size_t(next)];
            }
        }
        return std::min(index, count() - 1);
    }
    int height(int row) const override { return heights_[size_t(row)]; }
    int totalHeight() const override { return position(count()); }
    int lineSize() const override { return default_ + divider_; }
    void setHeight(int row, int height) override {
        height = std::max(1, height);
        const int delta = height - heights_[size_t(row)];
        if (delta == 0)
            return;
        heights_[size_t(row)] = height;
        for (int i = row + 1; i <= count(); i += i & -i)
            tree_[size_t(i)] += delta;
    }

private:
    int count() const { return int(heights_.size()); }
    static int highestBit(int n) {
        int bit = 1;
        while (bit * 2 <= n)
            bit *= 2;
        return bit;
    }
    int default_;
    std::vector<int> heights_;
    std::vector<qint64> tree_;
};

} // namespace

// The band and the insertion line go over the row panels, which are widgets of their
// own and would hide anything the viewport itself paints.
class McListOverlay : public QWidget {
public:
    explicit McListOverlay(SMCListViewEx* list) : QWidget(list->viewport()), list_(list) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    SMCListViewEx* list_;
};

void McListOverlay::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setClipRect(event->rect());
    const SMCListViewEx& l = *list_;
    const QRect client = rect();
    if (l.hasDivider_) {
        for (const McItemPanel* panel : l.visible_)
            painter.fillRect(QRect(panel->x(), panel->geometry().bottom(), panel->width(), 1),
                             QColor::fromRgba(l.dividerColor_));
    }
    // Before any row is current the focus sits on the first row in view, as item views
    // show it, so a keyboard user sees that the list has the focus.
    if (l.hasFocus() && !l.banding_ && !l.moveDragging_) {
        const McItemPanel* panel = l.GetItemPanel(l.current_);
        if (!panel && l.current_ < 0 && !l.visible_.empty())
            panel = l.visible_.front();
        painter.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        painter.drawRect((panel ? panel->geometry() : client).adjusted(0, 0, -1, -1) &
                         client.adjusted(0, 0, -1, -1));
    }
    if (l.banding_) {
        const QRect band = l.bandRect();
        const QColor outline = QColor::fromRgba(l.colorDropBk_);
        QColor fill = outline;
        if (l.dropBkAlpha_ < 255)
            fill.setAlpha(outline.alpha() * l.dropBkAlpha_ / 256);
        painter.fillRect(band & client, fill);
        const int left = std::max(band.left(), client.left());
        const int right = std::min(band.right(), client.right());
        const int top = std::max(band.top(), client.top());
        const int bottom = std::min(band.bottom(), client.bottom());
        painter.setPen(QPen(outline, 1));
        if (band.top() >= client.top())
            painter.drawLine(left, band.top(), right, band.top());
        if (band.left() >= client.left())
            painter.drawLine(band.left(), top, band.left(), bottom);
        if (band.right() <= client.right())
            painter.drawLine(band.right(), top, band.right(), bottom);
        if (band.bottom() <= client.bottom())
            painter.drawLine(left, band.bottom(), right, band.bottom());
    } else if (l.moveDragging_ && l.moved_ && l.dropRow_ >= 0) {
        const QRect row = l.GetItemRect(l.dropRow_);
        const int y = l.dropAbove_ ? row.top() : row.bottom();
        painter.fillRect(QRect(row.left(), y, row.width(), 1) & client,
                         QColor::fromRgba(l.colorSwapLine_));
    }
}

// ---- McItemPanel

McItemPanel::McItemPanel(QWidget* parent) : QWidget(parent) {
    // The list reads the mouse for every row: selection, bands and drags span rows.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setObjectName(QStringLiteral("mclv_item"));
}

void McItemPanel::setState(unsigned state) {
    if (state == state_)
        return;
    state_ = state;
    update();
}

bool McItemPanel::BuildFromTemplate(QWidget* panel, const QString& itemTemplate) {
    UiLoader loader;
    std::unique_ptr<QWidget> root(loader.loadLayout(itemTemplate));
    if (!root)
        return false;
    const QList<QWidget*> cells = root->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* cell : cells) {
        const bool hidden = cell->testAttribute(Qt::WA_WState_ExplicitShowHide) && cell->isHidden();
        const QRect geometry = cell->geometry();
        cell->setParent(panel);
        cell->setGeometry(geometry);
        cell->setVisible(!hidden);
    }
    return true;
}

void McItemPanel::paintEvent(QPaintEvent*) {
    QColor background = palette().color(QPalette::Highlight);
    if (state_ & McRowSelected)
        background.setAlpha(state_ & McRowHover ? 96 : 72);
    else if (state_ & McRowHover)
        background.setAlpha(28);
    else
        return;
    QPainter(this).fillRect(rect(), background);
}

// ---- SMCListViewEx

class SMCListViewEx::Observer final : public IDataSetObserver {
public:
    explicit Observer(SMCListViewEx* list) : list_(list) {}
    void OnChanged() override { list_->refresh(); }
    void OnInvalidated() override { list_->onInvalidated(); }
    void OnItemChanged(int row) override { list_->onItemChanged(row); }

private:
    SMCListViewEx* list_;
};

SMCListViewEx::SMCListViewEx(QWidget* parent)
    : QAbstractScrollArea(parent), observer_(std::make_unique<Observer>(this)) {
    setProperty("folimoClass", layoutClassName(staticMetaObject));
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setMouseTracking(true);
    viewport()->setBackgroundRole(QPalette::Base);
    headerHeight_ = GetLayoutSize(defaultHeaderHeight);
    defHeight_ = GetLayoutSize(defaultRowHeight);
    makeHeader();
    overlay_ = new McListOverlay(this);
    setViewportMargins(0, headerHeight_, 0, 0);
    autoScroll_.setInterval(autoScrollPeriodMs);
    connect(&autoScroll_, &QTimer::timeout, this, [this] {
        if (outBelow_)
            scrollLines(1);
        else if (outAbove_)
            scrollLines(-1);
    });
}

SMCListViewEx::~SMCListViewEx() {
    detachAdapter();
}

void SMCListViewEx::makeHeader() {
    columns_ = new QStandardItemModel(this);
    header_ = new QHeaderView(Qt::Horizontal, this);
    header_->setModel(columns_);
    header_->setSectionsMovable(true);
    header_->setSectionsClickable(true);
    header_->setSectionResizeMode(QHeaderView::Interactive);
    header_->setStretchLastSection(false);
    header_->setHighlightSections(false);
    header_->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header_->setSortIndicatorShown(true);
    header_->setSortIndicator(-1, Qt::AscendingOrder);
    header_->setFocusPolicy(Qt::NoFocus);
    header_->setAccessibleName(QCoreApplication::translate("SMCListViewEx", "列标题"));
    connect(header_, &QHeaderView::sectionClicked, this, &SMCListViewEx::onHeaderClick);
    connect(header_, &QHeaderView::sectionResized, this, &SMCListViewEx::columnsChanged);
    connect(header_, &QHeaderView::sectionMoved, this, &SMCListViewEx::columnsChanged);
}

// The layout builds the header as a plain child carrying its columns; it becomes the
// list's header once the layout is complete, because the loader sets its properties
// only after creating it.
void SMCListViewEx::setUp() {
    if (setUpDone_)
        return;
    setUpDone_ = true;
    QList<QWidget*> candidates = findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    candidates += viewport()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* child : candidates) {
        if (child == header_ || child == overlay_ || child == viewport() ||
            qobject_cast<McItemPanel*>(child))
            continue;
        if (qobject_cast<QHeaderView*>(child) || child->property("columnTexts").isValid()) {
            adoptHeader(child);
            break;
        }
    }
}

void SMCListViewEx::adoptHeader(QWidget* placeholder) {
    const QStringList texts = placeholder->property("columnTexts").toStringList();
    const QStringList widths =
        placeholder->property("columnWidths").toString().split(',', Qt::SkipEmptyParts);
    for (const QByteArray& name : placeholder->dynamicPropertyNames())
        header_->setProperty(name, placeholder->property(name));
    header_->setObjectName(placeholder->objectName());
    placeholder->setObjectName(QString());
    placeholder->hide();
    placeholder->deleteLater();
    for (int i = 0; i < texts.size(); ++i) {
        const int width = i < widths.size() ? GetLayoutSize(widths[i].trimmed()) : 100;
        InsertColumn(i, texts[i], width > 0 ? width : 100);
    }
    // Columns are numbered as the rows' templates name them; a layout may show a later
    // one earlier.
    const QStringList order =
        header_->property("columnOrder").toString().split(',', Qt::SkipEmptyParts);
    for (int visual = 0; visual < order.size(); ++visual) {
        bool ok = false;
        const int logical = order[visual].trimmed().toInt(&ok);
        if (ok && logical >= 0 && logical < header_->count())
            header_->moveSection(header_->visualIndex(logical), visual);
    }
}

void SMCListViewEx::readTemplate() {
    const QHash<QString, QString> properties = templateProperties(itemTemplate_);
    itemHeight_ = properties.contains(QStringLiteral("itemheight"))
                      ? GetLayoutSize(properties.value(QStringLiteral("itemheight")))
                      : 0;
    bool ok = false;
    defHeight_ =
        GetLayoutSize(properties.value(QStringLiteral("defheight"), defaultRowHeight), &ok);
    if (!ok || defHeight_ <= 0)
        defHeight_ = GetLayoutSize(defaultRowHeight);
}

bool SMCListViewEx::SetAttribute(const QString& name, const QString& value) {
    const QString key = name.toLower();
    bool ok = false;
    if (key == QLatin1String("headerheight")) {
        const int height = GetLayoutSize(value, &ok);
        if (!ok || height < 0)
            return false;
        headerHeight_ = height;
        setViewportMargins(0, headerHeight_, 0, 0);
        placeHeader();
    } else if (key == QLatin1String("itemtemplate")) {
        itemTemplate_ = value;
        readTemplate();
        if (adapter_) {
            makeLocator();
            refresh();
        }
    } else if (key == QLatin1String("dividersize")) {
        const int size = GetLayoutSize(value, &ok);
        if (!ok || size < 0)
            return false;
        dividerSize_ = size;
        if (adapter_) {
            makeLocator();
            refresh();
        }
    } else if (key == QLatin1String("dividerskin")) {
        // Skins are pictures in the toolkit; here a divider is a colour, and any other
        // value draws none.
        hasDivider_ = layoutColor(value, &dividerColor_);
        overlay_->update();
    } else if (key == QLatin1String("wanttab")) {
        wantTab_ = layoutInteger(value) != 0;
    } else if (key == QLatin1String("canswapitem")) {
        canSwapItem_ = layoutInteger(value) != 0;
    } else if (key == QLatin1String("colorswapline")) {
        return layoutColor(value, &colorSwapLine_);
    } else if (key == QLatin1String("colordropbk")) {
        return layoutColor(value, &colorDropBk_);
    } else if (key == QLatin1String("dropbkalpha")) {
        dropBkAlpha_ = int(std::clamp<qint64>(layoutInteger(value), 0, 255));
    } else {
        return false;
    }
    return true;
}

void SMCListViewEx::makeLocator() {
    if (itemHeight_ > 0)
        locator_ = std::make_unique<FixedRowLocator>(itemHeight_, dividerSize_);
    else
        locator_ = std::make_unique<FlexibleRowLocator>(defHeight_, dividerSize_);
    locator_->setCount(adapter_ ? adapter_->GetCount() : 0);
}

void SMCListViewEx::SetAdapter(std::shared_ptr<IMcAdapterEx> adapter) {
    setUp();
    detachAdapter();
    adapter_ = std::move(adapter);
    current_ = hoverRow_ = firstVisible_ = -1;
    currentItem_ = nullptr;
    if (!adapter_) {
        viewport()->update();
        return;
    }
    makeLocator();
    adapter_->InitByTemplate(itemTemplate_);
    adapter_->RegisterDataSetObserver(observer_.get());
    bins_.assign(size_t(std::max(1, adapter_->GetViewTypeCount())), {});
    refresh();
}

void SMCListViewEx::detachAdapter() {
    if (!adapter_)
        return;
    if (banding_)
        endBand();
    moveDragging_ = false;
    adapter_->UnregisterDataSetObserver(observer_.get());
    for (McItemPanel* panel : visible_)
        delete panel;
    visible_.clear();
    for (auto& bin : bins_) {
        for (McItemPanel* panel : bin)
            delete panel;
    }
    bins_.clear();
    adapter_.reset();
}

void SMCListViewEx::refresh() {
    if (!adapter_)
        return;
    const int count = adapter_->GetCount();
    locator_->setCount(count);
    const int old = current_;
    followCurrentItem(true);
    // Rows a change selected by itself (an undo selects what it brought back) give the
    // current row when none is left, so that one of them is previewed.
    if (current_ < 0) {
        const std::vector<int> selection = adapter_->GetSelection();
        const auto first = std::min_element(selection.begin(), selection.end());
        if (first != selection.end() && *first >= 0 && *first < count) {
            current_ = *first;
            currentItem_ = adapter_->GetItemData(current_);
        }
    }
    if (hoverRow_ >= count)
        hoverRow_ = -1;
    updateScrollBars();
    rebuildVisibleRows();
    placeHeader();
    if (QAccessible::isActive()) {
        QAccessibleTableModelChangeEvent reset(this, QAccessibleTableModelChangeEvent::ModelReset);
        QAccessible::updateAccessibility(&reset);
    }
    if (current_ != old)
        emit selectionChanged(old, current_);
}

void SMCListViewEx::onInvalidated() {
    // The same rows in new looks or a new order (a move): the current row follows its
    // item, and stays current even where a Ctrl+click took it out of the selection.
    const int old = current_;
    if (adapter_)
        followCurrentItem(false);
    requestRebuild();
    if (current_ != old)
        emit selectionChanged(old, current_);
}

void SMCListViewEx::followCurrentItem(bool dropUnselected) {
    const int count = adapter_->GetCount();
    if (currentItem_ &&
        (current_ < 0 || current_ >= count || adapter_->GetItemData(current_) != currentItem_)) {
        current_ = -1;
        for (int row = 0; row < count; ++row) {
            if (adapter_->GetItemData(row) == currentItem_) {
                current_ = row;
                break;
            }
        }
    }
    // A current row the change left unselected (its item removed, the selection cleared)
    // would keep showing a picture nobody chose.
    if (current_ >= count ||
        (dropUnselected && current_ >= 0 && !adapter_->IsItemSelected(current_)))
        current_ = -1;
    if (current_ < 0)
        currentItem_ = nullptr;
}

void SMCListViewEx::requestRebuild() {
    pendingRefresh_ = true;
    if (!rebuildQueued_) {
        rebuildQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                rebuildQueued_ = false;
                rebuildIfPending();
            },
            Qt::QueuedConnection);
    }
    viewport()->update();
}

void SMCListViewEx::rebuildIfPending() {
    if (pendingRefresh_)
        rebuildVisibleRows();
}

unsigned SMCListViewEx::rowState(int row) const {
    unsigned state = row == hoverRow_ ? McRowHover : 0u;
    if (adapter_->IsItemSelected(row))
        state |= McRowSelected;
    return state;
}

McItemPanel* SMCListViewEx::takePanel(int viewType) {
    auto& bin = bins_[size_t(viewType)];
    if (!bin.empty()) {
        McItemPanel* panel = bin.back();
        bin.pop_back();
        return panel;
    }
    auto* panel = new McItemPanel(viewport());
    panel->setViewType(viewType);
    overlay_->raise();
    return panel;
}

void SMCListViewEx::rebuildVisibleRows() {
    if (!adapter_ || !locator_)
        return;
    if (inRebuild_) {
        pendingRefresh_ = true;
        return;
    }
    inRebuild_ = true;
    // A pass that measures rows may change the content height and so the scroll range;
    // a second pass then lays out against the settled range.
    for (int pass = 0; pass < 3; ++pass) {
        pendingRefresh_ = false;
        QHash<int, McItemPanel*> parked;
        for (McItemPanel* panel : visible_)
            parked.insert(panel->row(), panel);
        visible_.clear();
        const int count = adapter_->GetCount();
        const int typeCount = int(bins_.size());
        const int top = verticalScrollBar()->value();
        const int bottom = top + viewport()->height();
        const int totalBefore = locator_->totalHeight();
        int row = count > 0 ? locator_->rowAt(top) : 0;
        int y = count > 0 ? locator_->position(row) : 0;
        // Panels of rows scrolled past can serve the new ones, so a jump of many pages
        // needs no more panels than a step of one row.
        const auto recycle = [this](McItemPanel* panel) {
            if (panel->isAncestorOf(QApplication::focusWidget()))
                setFocus();
            if (panel->row() == hoverRow_)
                setHover(-1);
            panel->setState(0);
            panel->hide();
            panel->setRow(-1);
            bins_[size_t(panel->viewType())].push_back(panel);
        };
        parked.removeIf([&](QHash<int, McItemPanel*>::iterator it) {
            if (it.key() >= row)
                return false;
            recycle(*it);
            return true;
        });
        while (y < bottom && row < count) {
            const unsigned state = rowState(row);
            const int type = std::clamp(adapter_->GetItemViewType(row, state), 0, typeCount - 1);
            McItemPanel* panel = nullptr;
            const auto reusable = parked.find(row);
            if (reusable != parked.end() && (*reusable)->viewType() == type) {
                panel = *reusable;
                parked.remove(row);
            } else {
                if (bins_[size_t(type)].empty()) {
                    // The farthest parked row is the least likely to come into view.
                    auto farthest = parked.end();
                    for (auto it = parked.begin(); it != parked.end(); ++it) {
                        if ((*it)->viewType() == type &&
                            (farthest == parked.end() || it.key() > farthest.key()))
                            farthest = it;
                    }
                    if (farthest != parked.end()) {
                        recycle(*farthest);
                        parked.remove(farthest.key());
                    }
                }
                panel = takePanel(type);
            }
            bindPanel(panel, row, state);
            visible_.push_back(panel);
            y += locator_->height(row) + locator_->divider();
            ++row;
        }
        for (McItemPanel* panel : std::as_const(parked))
            recycle(panel);
        firstVisible_ = visible_.empty() ? -1 : visible_.front()->row();
        if (locator_->isFixed() || locator_->totalHeight() == totalBefore)
            break;
        updateScrollBars();
    }
    inRebuild_ = false;
    overlay_->update();
}

void SMCListViewEx::bindPanel(McItemPanel* panel, int row, unsigned state) {
    const int width = header_->length();
    panel->setRow(row);
    panel->setState(state);
    if (locator_->isFixed())
        panel->resize(width, locator_->height(row));
    adapter_->GetView(row, panel, itemTemplate_);
    if (!locator_->isFixed()) {
        const QSize wanted = adapter_->GetViewDesiredSize(row, panel, QSize(width, 100000));
        locator_->setHeight(row, wanted.height());
        panel->resize(width, locator_->height(row));
    }
    placePanel(panel);
    placeCells(panel);
    panel->show();
}

QRect SMCListViewEx::GetItemRect(int row) const {
    if (!locator_ || !adapter_ || row < 0 || row >= adapter_->GetCount())
        return {};
    return QRect(-horizontalScrollBar()->value(),
                 locator_->position(row) - verticalScrollBar()->value(), header_->length(),
                 locator_->height(row));
}

void SMCListViewEx::placePanel(McItemPanel* panel) {
    panel->setGeometry(GetItemRect(panel->row()));
}

void SMCListViewEx::placeCells(McItemPanel* panel) {
    if (!adapter_)
        return;
    const int height = panel->height();
    for (int visual = 0; visual < header_->count(); ++visual) {
        const int logical = header_->logicalIndex(visual);
        if (header_->isSectionHidden(logical))
            continue;
        const QString name = adapter_->GetColumnName(logical);
        QWidget* cell = name.isEmpty() ? nullptr : panel->findChild<QWidget*>(name);
        if (!cell)
            continue;
        QRect span(header_->sectionPosition(logical), 0, header_->sectionSize(logical), height);
        if (cell->parentWidget() != panel)
            span.moveTopLeft(cell->parentWidget()->mapFrom(panel, span.topLeft()));
        cell->setGeometry(span);
    }
}

void SMCListViewEx::placeHeader() {
    const QRect area = viewport()->geometry();
    header_->setGeometry(area.x(), area.y() - headerHeight_, area.width(), headerHeight_);
    header_->setOffset(horizontalScrollBar()->value());
}

void SMCListViewEx::updateScrollBars() {
    const QSize page = viewport()->size();
    const int width = header_->length();
    const int height = locator_ && adapter_ ? locator_->totalHeight() : 0;
    QScrollBar* h = horizontalScrollBar();
    h->setPageStep(page.width());
    h->setSingleStep(20);
    h->setRange(0, std::max(0, width - page.width()));
    QScrollBar* v = verticalScrollBar();
    v->setPageStep(page.height());
    v->setSingleStep(locator_ ? locator_->lineSize() : defHeight_);
    v->setRange(0, std::max(0, height - page.height()));
}

void SMCListViewEx::columnsChanged() {
    updateScrollBars();
    placeHeader();
    const int width = header_->length();
    for (McItemPanel* panel : visible_) {
        panel->resize(width, panel->height());
        placeCells(panel);
    }
    viewport()->update();
    overlay_->update();
}

void SMCListViewEx::ClearSortMarks() {
    std::fill(sortFlags_.begin(), sortFlags_.end(), 0);
    header_->setSortIndicator(-1, Qt::AscendingOrder);
}

void SMCListViewEx::onHeaderClick(int logical) {
    const int count = header_->count();
    std::vector<int> flags = sortFlags_;
    flags.resize(size_t(count), 0);
    const bool sorted = adapter_ && logical >= 0 && adapter_->OnSort(logical, flags.data(), count);
    if (sorted)
        sortFlags_ = flags;
    // The header has flipped its own mark on the click; the adapter's choice stands.
    const auto flag = std::find_if(sortFlags_.begin(), sortFlags_.end(), [](int f) { return f; });
    if (flag == sortFlags_.end())
        header_->setSortIndicator(-1, Qt::AscendingOrder);
    else
        header_->setSortIndicator(int(flag - sortFlags_.begin()),
                                  *flag == 2 ? Qt::AscendingOrder : Qt::DescendingOrder);
    if (sorted)
        refresh(); // the current row follows its item there
}

void SMCListViewEx::onItemChanged(int row) {
    McItemPanel* panel = GetItemPanel(row);
    if (!panel)
        return;
    const unsigned state = rowState(row);
    const int oldHeight = panel->height();
    if (adapter_->GetItemViewType(row, state) != panel->viewType()) {
        rebuildVisibleRows();
        return;
    }
    bindPanel(panel, row, state);
    if (panel->height() != oldHeight) {
        updateScrollBars();
        rebuildVisibleRows();
    }
    panel->update();
}

int SMCListViewEx::InsertColumn(int index, const QString& text, int width, const QVariant& data) {
    const int logical = columns_->columnCount();
    columns_->insertColumn(logical);
    columns_->setHeaderData(logical, Qt::Horizontal, text);
    columns_->setHeaderData(logical, Qt::Horizontal, data, Qt::UserRole);
    sortFlags_.resize(size_t(logical) + 1, 0);
    header_->resizeSection(logical, width);
    if (index >= 0 && index < logical)
        header_->moveSection(header_->visualIndex(logical), index);
    columnsChanged();
    return logical;
}

bool SMCListViewEx::DeleteColumn(int index) {
    if (index < 0 || index >= header_->count())
        return false;
    const int logical = header_->logicalIndex(index);
    columns_->removeColumn(logical);
    if (size_t(logical) < sortFlags_.size())
        sortFlags_.erase(sortFlags_.begin() + logical);
    columnsChanged();
    return true;
}

int SMCListViewEx::HitTest(QPoint pos) const {
    if (!viewport()->rect().contains(pos))
        return -1;
    for (const McItemPanel* panel : visible_) {
        if (panel->geometry().contains(pos))
            return panel->row();
    }
    return -1;
}

McItemPanel* SMCListViewEx::GetItemPanel(int row) const {
    if (row < 0 || visible_.empty())
        return nullptr;
    const size_t at = size_t(row - firstVisible_);
    if (row >= firstVisible_ && at < visible_.size() && visible_[at]->row() == row)
        return visible_[at];
    for (McItemPanel* panel : visible_) {
        if (panel->row() == row)
            return panel;
    }
    return nullptr;
}

int SMCListViewEx::GetPanelCount() const {
    size_t count = visible_.size();
    for (const auto& bin : bins_)
        count += bin.size();
    return int(count);
}

int SMCListViewEx::lastVisibleRow() const {
    return visible_.empty() ? -1 : visible_.back()->row();
}

QString SMCListViewEx::GetCellText(int row, int column) const {
    if (!adapter_ || row < 0 || row >= adapter_->GetCount())
        return {};
    if (const McItemPanel* panel = GetItemPanel(row)) {
        const QString name = adapter_->GetColumnName(column);
        const QWidget* cell = name.isEmpty() ? nullptr : panel->findChild<QWidget*>(name);
        if (!cell)
            return {};
        QStringList texts;
        if (const auto* label = qobject_cast<const QLabel*>(cell))
            texts << label->text();
        for (const QLabel* label : cell->findChildren<QLabel*>()) {
            if (!label->text().isEmpty())
                texts << label->text();
        }
        return texts.join(QLatin1Char(' '));
    }
    if (auto* texts = dynamic_cast<IMcCellText*>(adapter_.get()))
        return texts->GetCellText(row, column);
    return {};
}

bool SMCListViewEx::SetSel(int row, bool notify) {
    if (!adapter_ || row >= adapter_->GetCount())
        return false;
    if (row < 0)
        row = -1;
    const int old = current_;
    // Asked before anything changes, so a handler that says no leaves the selection,
    // however many rows it holds, as it was.
    if (notify) {
        bool cancel = false;
        emit selectionChanging(old, row, &cancel);
        if (cancel)
            return false;
    }
    current_ = row;
    currentItem_ = row >= 0 ? adapter_->GetItemData(row) : nullptr;
    adapter_->SelectOnly(row);
    if (old == row)
        return false;
    if (McItemPanel* panel = GetItemPanel(old)) {
        if (panel->isAncestorOf(QApplication::focusWidget()))
            setFocus();
        panel->setState(panel->state() & ~McRowSelected);
    }
    if (McItemPanel* panel = GetItemPanel(row))
        panel->setState(panel->state() | McRowSelected);
    overlay_->update();
    if (notify)
        emit selectionChanged(old, row);
    if (row >= 0 && QAccessible::isActive()) {
        if (QAccessibleInterface* table = QAccessible::queryAccessibleInterface(this)) {
            if (QAccessibleTableInterface* cells = table->tableInterface()) {
                if (QAccessibleInterface* cell = cells->cellAt(row, 0)) {
                    QAccessibleEvent focus(cell, QAccessible::Focus);
                    QAccessible::updateAccessibility(&focus);
                }
            }
        }
    }
    return true;
}

void SMCListViewEx::EnsureVisible(int row) {
    if (!adapter_ || row < 0 || row >= adapter_->GetCount())
        return;
    QScrollBar* bar = verticalScrollBar();
    const int first = firstVisible_;
    const int last = lastVisibleRow();
    if (first < 0 || row <= first) {
        bar->setValue(locator_->position(row));
    } else if (row < last) {
        return;
    } else if (row == adapter_->GetCount() - 1) {
        bar->setValue(bar->maximum());
    } else {
        bar->setValue(locator_->position(row + 1) - viewport()->height());
    }
}

void SMCListViewEx::scrollLines(int lines) {
    QScrollBar* bar = verticalScrollBar();
    const int old = bar->value();
    bar->setValue(old + lines * (locator_ ? locator_->lineSize() : bar->singleStep()));
    if (bar->value() == old && banding_)
        extendBandAfterScroll();
}

void SMCListViewEx::scrollContentsBy(int dx, int dy) {
    if (dy) {
        rebuildVisibleRows();
        if (banding_) {
            extendBandAfterScroll();
            bandStart_.ry() += dy;
        }
    }
    if (dx) {
        placeHeader();
        for (McItemPanel* panel : visible_)
            placePanel(panel);
    }
    overlay_->update();
}

void SMCListViewEx::extendBandAfterScroll() {
    if (!adapter_ || visible_.empty())
        return;
    int row = HitTest(bandCurrent_);
    if (row < 0) {
        if (bandCurrent_.y() < 0) {
            row = firstVisible_;
        } else {
            const std::vector<int> selection = adapter_->GetSelection();
            if (!selection.empty() && selection.front() == -1)
                return;
            row = lastVisibleRow();
        }
    }
    adapter_->ExtendRangeSelection(row);
}

QRect SMCListViewEx::bandRect() const {
    return QRect(bandStart_, bandCurrent_).normalized();
}

void SMCListViewEx::endBand() {
    banding_ = false;
    autoScroll_.stop();
    overlay_->update();
    if (adapter_)
        adapter_->EndRangeSelection();
}

void SMCListViewEx::endMoveDrag() {
    moveDragging_ = false;
    moved_ = false;
    dropRow_ = -1;
    overlay_->update();
}

void SMCListViewEx::setHover(int row) {
    if (row == hoverRow_)
        return;
    if (McItemPanel* old = GetItemPanel(hoverRow_)) {
        old->setState(old->state() & ~McRowHover);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(old, &leave);
    }
    hoverRow_ = row;
    McItemPanel* hovered = GetItemPanel(row);
    if (hovered) {
        hovered->setState(hovered->state() | McRowHover);
        viewport()->setToolTip(hovered->toolTip());
        if (hovered->testAttribute(Qt::WA_SetCursor))
            viewport()->setCursor(hovered->cursor());
        else
            viewport()->unsetCursor();
    } else {
        viewport()->setToolTip(QString());
        viewport()->unsetCursor();
    }
}

void SMCListViewEx::mousePressEvent(QMouseEvent* event) {
    if (!adapter_) {
        event->ignore();
        return;
    }
    event->accept();
    setFocus(Qt::MouseFocusReason);
    const QPoint pos = event->position().toPoint();
    const int row = HitTest(pos);
    const Qt::KeyboardModifiers modifiers =
        event->modifiers() &
        (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (event->button() == Qt::LeftButton) {
        if (modifiers == Qt::ShiftModifier) {
            if (row >= 0)
                adapter_->SelectRangeToItem(row);
            return;
        }
        if (modifiers == Qt::ControlModifier) {
            if (row >= 0) {
                adapter_->ToggleItemSelected(row);
                if (McItemPanel* panel = GetItemPanel(row)) {
                    const unsigned rest = panel->state() & ~McRowSelected;
                    panel->setState(adapter_->IsItemSelected(row) ? rest | McRowSelected : rest);
                }
            }
            return;
        }
        if (modifiers == Qt::NoModifier) {
            if (row >= 0 && canSwapItem_ && adapter_->IsItemSelected(row)) {
                moveDragging_ = true;
                moved_ = false;
                dropRow_ = -1;
                setHover(row);
                return;
            }
            SetSel(-1, true);
            banding_ = true;
            bandStart_ = bandCurrent_ = pos;
            outAbove_ = outBelow_ = false;
            adapter_->BeginRangeSelection(row);
            setHover(row);
            pressRow(row);
            return;
        }
    }
    setHover(row);
    if (row < 0) {
        if (event->button() & (Qt::LeftButton | Qt::RightButton | Qt::MiddleButton))
            SetSel(-1, true);
        return;
    }
    // The menu a right press opens acts on the selection, so it must not shrink it.
    if (event->button() == Qt::LeftButton ||
        (event->button() == Qt::RightButton && !adapter_->IsItemSelected(row)))
        pressRow(row);
}

// A row that is pressed becomes the current one.
void SMCListViewEx::pressRow(int row) {
    if (row >= 0 && row != current_)
        SetSel(row, true);
}

void SMCListViewEx::mouseMoveEvent(QMouseEvent* event) {
    if (!adapter_) {
        event->ignore();
        return;
    }
    const QPoint pos = event->position().toPoint();
    const int row = HitTest(pos);
    if (banding_) {
        outAbove_ = outBelow_ = false;
        overlay_->update(bandRect().adjusted(-1, -1, 1, 1));
        bandCurrent_ = pos;
        overlay_->update(bandRect().adjusted(-1, -1, 1, 1));
        if (row >= 0) {
            adapter_->ExtendRangeSelection(row);
        } else {
            const int below = HitTest(QPoint(bandStart_.x(), pos.y()));
            if (below >= 0)
                adapter_->ExtendRangeSelection(below);
            outAbove_ = pos.y() < 0;
            outBelow_ = pos.y() >= viewport()->height();
        }
        if (!autoScroll_.isActive())
            autoScroll_.start();
    } else if (moveDragging_) {
        moved_ = true;
        const int oldDrop = dropRow_;
        dropRow_ = row;
        if (row >= 0) {
            const QRect rect = GetItemRect(row);
            dropAbove_ = pos.y() < rect.top() + rect.height() / 2;
            if (rect.top() + rect.height() >= viewport()->height())
                scrollLines(1);
            else if (rect.top() <= 0)
                scrollLines(-1);
        }
        if (oldDrop != dropRow_ || row >= 0)
            overlay_->update();
    }
    setHover(HitTest(pos));
}

void SMCListViewEx::mouseReleaseEvent(QMouseEvent* event) {
    if (!adapter_) {
        event->ignore();
        return;
    }
    const QPoint pos = event->position().toPoint();
    const int row = HitTest(pos);
    if (event->button() == Qt::LeftButton && moveDragging_) {
        int target = -1;
        if (row >= 0) {
            if (!moved_)
                pressRow(row); // a plain click on a selected row
            const QRect rect = GetItemRect(row);
            dropAbove_ = pos.y() < rect.top() + rect.height() / 2;
            // Dropping the rows onto one of themselves leaves them where they are.
            if (!adapter_->IsItemSelected(row))
                target = dropAbove_ ? row : row + 1;
        }
        endMoveDrag();
        if (target >= 0)
            ClearSortMarks();
        adapter_->MoveSelectionTo(target);
    } else if (event->button() == Qt::LeftButton && banding_) {
        endBand();
    }
}

// The second press of a double click is no new press: it must not start a drag.
void SMCListViewEx::mouseDoubleClickEvent(QMouseEvent* event) {
    event->setAccepted(adapter_ != nullptr);
}

void SMCListViewEx::wheelEvent(QWheelEvent* event) {
    if (McItemPanel* panel = adapter_ ? GetItemPanel(current_) : nullptr) {
        QWheelEvent offered(panel->mapFrom(viewport(), event->position()), event->globalPosition(),
                            event->pixelDelta(), event->angleDelta(), event->buttons(),
                            event->modifiers(), event->phase(), event->inverted());
        offered.setAccepted(false);
        QCoreApplication::sendEvent(panel, &offered);
        if (offered.isAccepted())
            return;
    }
    QAbstractScrollArea::wheelEvent(event);
}

void SMCListViewEx::keyPressEvent(QKeyEvent* event) {
    if (!adapter_ || offeringKey_) {
        event->ignore();
        return;
    }
    const auto offerToCurrent = [&] {
        McItemPanel* panel = GetItemPanel(current_);
        if (!panel)
            return false;
        QKeyEvent offered(event->type(), event->key(), event->modifiers(), event->text(),
                          event->isAutoRepeat(), ushort(event->count()));
        offered.setAccepted(false);
        offeringKey_ = true;
        QCoreApplication::sendEvent(panel->focusWidget() ? panel->focusWidget() : panel, &offered);
        offeringKey_ = false;
        return offered.isAccepted();
    };
    if (wantTab_ && offerToCurrent()) {
        event->accept();
        return;
    }
    const int key = event->key();
    if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) {
        QWidget* owner = window();
        if (owner && owner != this) {
            QKeyEvent forwarded(event->type(), key, event->modifiers(), event->text());
            QCoreApplication::sendEvent(owner, &forwarded);
        }
        emit keyForOwner(key);
        event->accept();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
        event->accept();
        return;
    }
    const int count = adapter_->GetCount();
    QScrollBar* bar = verticalScrollBar();
    int next = -1;
    switch (key) {
    case Qt::Key_Down:
        if (current_ < count - 1)
            next = current_ + 1;
        break;
    case Qt::Key_Up:
        if (current_ > 0)
            next = current_ - 1;
        break;
    case Qt::Key_PageUp:
        bar->triggerAction(QAbstractSlider::SliderPageStepSub);
        next = firstVisible_;
        break;
    case Qt::Key_PageDown:
        bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
        next = lastVisibleRow();
        break;
    case Qt::Key_Home:
        bar->setValue(bar->minimum());
        next = firstVisible_;
        break;
    case Qt::Key_End:
        bar->setValue(bar->maximum());
        next = lastVisibleRow();
        break;
    default:
        if (!wantTab_ && offerToCurrent())
            event->accept();
        else
            QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
    if (next >= 0) {
        EnsureVisible(next);
        SetSel(next, true);
    }
}

void SMCListViewEx::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    if (focusedChild_) {
        focusedChild_->setFocus(event->reason());
        focusedChild_.clear();
    }
    overlay_->update();
}

void SMCListViewEx::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    if (moveDragging_)
        endMoveDrag();
    if (banding_)
        endBand();
    if (McItemPanel* panel = GetItemPanel(current_)) {
        QWidget* focused = QApplication::focusWidget();
        if (focused && panel->isAncestorOf(focused))
            focusedChild_ = focused;
    }
    overlay_->update();
}

bool SMCListViewEx::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::DynamicPropertyChange: {
        const QByteArray name = static_cast<QDynamicPropertyChangeEvent*>(event)->propertyName();
        const QVariant value = property(name);
        if (value.isValid())
            SetAttribute(QString::fromLatin1(name), value.toString());
        break;
    }
    case QEvent::Polish:
    case QEvent::Show:
        setUp();
        break;
    case QEvent::KeyPress:
        if (wantTab_) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
                keyPressEvent(key);
                return true;
            }
        }
        break;
    case QEvent::ContextMenu:
        // From the keyboard (the menu key, Shift+F10) the menu belongs to the current
        // row, and its point is given in the viewport's coordinates like a click's.
        if (static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard &&
            contextMenuPolicy() == Qt::CustomContextMenu) {
            const QRect row = current_ >= 0 ? GetItemRect(current_) : QRect();
            const QPoint at = row.isValid() && viewport()->rect().intersects(row)
                                  ? QPoint(row.left() + row.height() / 2, row.center().y())
                                  : QPoint(0, 0);
            emit customContextMenuRequested(at);
            event->accept();
            return true;
        }
        break;
    default:
        break;
    }
    return QAbstractScrollArea::event(event);
}

void SMCListViewEx::SelectAll() {
    if (!adapter_ || adapter_->GetCount() == 0)
        return;
    adapter_->BeginRangeSelection(0);
    adapter_->ExtendRangeSelection(adapter_->GetCount() - 1);
    adapter_->EndRangeSelection();
    viewport()->update();
}

bool SMCListViewEx::viewportEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::Resize: {
        const bool handled = QAbstractScrollArea::viewportEvent(event);
        overlay_->setGeometry(viewport()->rect());
        updateScrollBars();
        placeHeader();
        columnsChanged();
        rebuildVisibleRows();
        return handled;
    }
    case QEvent::Leave:
        if (!moveDragging_ && !banding_)
            setHover(-1);
        break;
    default:
        break;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void SMCListViewEx::paintEvent(QPaintEvent*) {
    rebuildIfPending();
}

void SMCListViewEx::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    placeHeader();
}

} // namespace folimo::ui
