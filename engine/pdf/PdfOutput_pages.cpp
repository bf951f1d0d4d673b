// Pages: their dictionaries with the resources their content uses, and the balanced
// page tree that holds them.
#include "PdfOutput.h"

#include "Deflate.h"
#include "OptionList.h"
#include "PdfSyntax.h"
#include "PdfWriter.h"

#include <algorithm>

namespace folimo::pdf {

namespace {

// Page-tree nodes hold this many kids, so a viewer finds any page of a long
// document in a few steps.
constexpr std::size_t kPagesPerNode = 32;

// The largest page side most viewers accept, in units.
constexpr double kMaxPageUnits = 14400;

} // namespace

void PdfOutput::begin_page_ext(double width, double height, std::wstring_view optlist) {
    requireDocument("begin_page_ext");
    OptionList(optlist).allowOnly({}, "begin_page_ext");
    if (page_)
        throw PdfError(kErrScope, "begin_page_ext", "a page is already open");
    // With /UserUnit up to 75,000 (the most viewers take), a page may be this large.
    if (!(width > 0) || !(height > 0) || width > 1e9 || height > 1e9)
        throw PdfError(kErrOption, "begin_page_ext",
                       "page size " + pdfReal(width) + " x " + pdfReal(height) +
                           " is out of range");
    page_ = std::make_unique<Page>();
    page_->object = writer_->newObjectNumber();
    page_->width = width;
    page_->height = height;
    if (pageObjects_.size() % kPagesPerNode == 0)
        leaves_.push_back(writer_->newObjectNumber());
    pageObjects_.push_back(page_->object);
}

void PdfOutput::end_page_ext(std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "end_page_ext");
    Page& page = requirePage("end_page_ext");
    // Viewers refuse pages over 14,400 units on a side, which a long banner scan at a
    // low resolution easily passes. Such a page keeps its size through /UserUnit: its
    // units grow and its content is drawn scaled to them, so a viewer that ignores the
    // unit still shows the whole page, only smaller.
    const double longest = std::max(page.width, page.height);
    const double unit = longest > kMaxPageUnits ? longest / kMaxPageUnits : 1;
    std::string dict = "<< /Type /Page /Parent " + std::to_string(leaves_.back()) +
                       " 0 R /MediaBox [0 0 " + pdfReal(std::max(page.width / unit, 0.01)) + " " +
                       pdfReal(std::max(page.height / unit, 0.01)) + "]";
    if (unit != 1) {
        dict += " /UserUnit " + pdfReal(unit, 10);
        std::string scale = pdfReal(1 / unit, 10);
        page.content = "q " + scale + " 0 0 " + scale + " 0 0 cm\n" + page.content + "Q\n";
    }
    dict += " /Resources <<";
    auto resources = [&dict](const char* kind, const std::map<std::string, int>& entries) {
        if (entries.empty())
            return;
        dict += std::string(" /") + kind + " <<";
        for (const auto& [name, object] : entries)
            dict += " /" + name + " " + std::to_string(object) + " 0 R";
        dict += " >>";
    };
    resources("XObject", page.xobjects);
    resources("Font", page.fonts);
    resources("ExtGState", page.extGStates);
    dict += " >>";
    if (!page.content.empty()) {
        int content = writer_->newObjectNumber();
        // Short streams stay readable; a page with text or many placements is packed.
        if (page.content.size() > 512)
            writer_->writeStreamObject(content, "/Filter /FlateDecode", deflateBytes(page.content));
        else
            writer_->writeStreamObject(content, "", page.content);
        dict += " /Contents " + std::to_string(content) + " 0 R";
    }
    dict += " >>";
    writer_->beginObject(page.object);
    writer_->write(dict);
    writer_->endObject();
    page_.reset();
}

void PdfOutput::writePagesTree() {
    struct Node {
        int object;
        std::vector<int> kids;
        std::size_t count;
    };
    std::vector<Node> level;
    for (std::size_t i = 0; i < leaves_.size(); ++i) {
        Node leaf{leaves_[i], {}, 0};
        for (std::size_t p = i * kPagesPerNode;
             p < pageObjects_.size() && p < (i + 1) * kPagesPerNode; ++p)
            leaf.kids.push_back(pageObjects_[p]);
        leaf.count = leaf.kids.size();
        level.push_back(std::move(leaf));
    }
    // Each level is written once its parents' numbers are known; the last level's
    // parent is the root, whose number the catalog already refers to.
    while (true) {
        bool last = level.size() <= kPagesPerNode;
        std::vector<Node> parents;
        for (std::size_t i = 0; i < level.size(); i += kPagesPerNode) {
            Node parent{last ? pagesRoot_ : writer_->newObjectNumber(), {}, 0};
            for (std::size_t k = i; k < level.size() && k < i + kPagesPerNode; ++k) {
                parent.kids.push_back(level[k].object);
                parent.count += level[k].count;
            }
            for (std::size_t k = i; k < level.size() && k < i + kPagesPerNode; ++k) {
                std::string d = "<< /Type /Pages /Parent " + std::to_string(parent.object) +
                                " 0 R /Count " + std::to_string(level[k].count) + " /Kids [";
                for (int kid : level[k].kids)
                    d += std::to_string(kid) + " 0 R ";
                d += "] >>";
                writer_->beginObject(level[k].object);
                writer_->write(d);
                writer_->endObject();
            }
            parents.push_back(std::move(parent));
        }
        if (last) {
            std::string d =
                "<< /Type /Pages /Count " + std::to_string(pageObjects_.size()) + " /Kids [";
            for (const auto& node : level)
                d += std::to_string(node.object) + " 0 R ";
            d += "] >>";
            writer_->beginObject(pagesRoot_);
            writer_->write(d);
            writer_->endObject();
            return;
        }
        level = std::move(parents);
    }
}

} // namespace folimo::pdf
