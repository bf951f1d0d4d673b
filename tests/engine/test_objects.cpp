// The engine's objects through the factory: kinds, defaults, ownership, copies.
#include "TestSupport.h"

#include "CImageToPDFSettings.h"
#include "CImageWatermark.h"
#include "CTextWatermark.h"

#include <gtest/gtest.h>

using folimo::test::Owned;

namespace {

template <class I>
Owned<I> make(int kind) {
    void* out = nullptr;
    CreateObject(kind, &out);
    return Owned<I>(static_cast<I*>(out));
}

TEST(Factory, KnownKindsMakeTheirObjectsAndUnknownKindsLeaveTheOutPointer) {
    EXPECT_NE(make<IFolimo>(FOLIMO_ENGINE), nullptr);
    EXPECT_NE(make<IFolimoSettings>(FOLIMO_SETTINGS), nullptr);
    EXPECT_EQ(make<ITextWatermark>(FOLIMO_TEXT_WATERMARK)->GetType(), 1);
    EXPECT_EQ(make<IImageWatermark>(FOLIMO_IMAGE_WATERMARK)->GetType(), 2);

    for (int kind : {5, 100, -1}) {
        void* sentinel = reinterpret_cast<void*>(0x1234);
        void* out = sentinel;
        EXPECT_EQ(CreateObject(kind, &out), 1);
        EXPECT_EQ(out, sentinel) << "kind " << kind;
    }
    void* out = nullptr;
    EXPECT_EQ(CreateObject(5, &out), 1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CreateObject(0, nullptr), 1);
}

TEST(Settings, NewRecordHasTheDefaults) {
    auto s = make<IFolimoSettings>(FOLIMO_SETTINGS);
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(s->GetInfo(i), L"");
    int w = -1, h = -1;
    s->GetCustomPageSize(&w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(s->GetPageSize(), 0);
    for (int side = 0; side < 4; ++side)
        EXPECT_EQ(s->GetMargin(side), 0);
    EXPECT_EQ(s->GetImageEncode(), 0);
    EXPECT_EQ(s->GetDefaultImageEncode(), 1);
    EXPECT_EQ(s->GetJpegQuality(), 30);
    s->GetImageMaxSize(&w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(s->GetDpi(), 0);
    EXPECT_EQ(s->GetSplitImage() | s->GetFillMultiImage() | s->GetCreateBookmark() |
                  s->GetRotatePage() | s->GetDoublePage() | s->GetImageInPage() |
                  s->GetImageAutoRotate(),
              0);
    EXPECT_STREQ(s->GetBookmarkText(), L"%FILENAME%");
    EXPECT_EQ(s->GetWatermarkCount(), 0);
}

TEST(Settings, SettersKeepValuesAsGivenAndFlagSettersReturnTheValue) {
    auto s = make<IFolimoSettings>(FOLIMO_SETTINGS);
    EXPECT_EQ(s->SetInfo(0, L"标题 title"), 1);
    EXPECT_STREQ(s->GetInfo(0), L"标题 title");
    EXPECT_EQ(s->SetJpegQuality(150), 1); // not clamped
    EXPECT_EQ(s->GetJpegQuality(), 150);
    EXPECT_EQ(s->SetImageMaxSize(-1, -1), 1);
    int w = 0, h = 0;
    s->GetImageMaxSize(&w, &h);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(s->SetCreateBookmark(7), 7);
    EXPECT_EQ(s->SetRotatePage(1), 1);
    EXPECT_EQ(s->SetDoublePage(0), 0);
    EXPECT_EQ(s->SetImageInPage(3), 3);
    EXPECT_EQ(s->SetImageAutoRotate(2), 2);
    EXPECT_EQ(s->SetMargin(2, 36), 1);
    EXPECT_EQ(s->GetMargin(2), 36);
    // Out-of-range indexes are ignored rather than reaching outside the record.
    EXPECT_EQ(s->SetInfo(5, L"x"), 1);
    EXPECT_STREQ(s->GetInfo(-1), L"");
    EXPECT_EQ(s->SetMargin(4, 9), 1);
    EXPECT_EQ(s->GetMargin(4), 0);
    EXPECT_EQ(s->SetInfo(1, nullptr), 1);
    EXPECT_STREQ(s->GetInfo(1), L"");
}

TEST(Settings, WatermarkListOwnsItsEntries) {
    auto s = make<IFolimoSettings>(FOLIMO_SETTINGS);
    auto* first = make<ITextWatermark>(FOLIMO_TEXT_WATERMARK).release();
    auto* second = make<IImageWatermark>(FOLIMO_IMAGE_WATERMARK).release();
    EXPECT_EQ(s->AddWatermark(first), 0);
    EXPECT_EQ(s->AddWatermark(second), 1);
    EXPECT_EQ(s->GetWatermark(1), second);
    EXPECT_EQ(s->RemoveWatermark(0), 1); // releases `first`; the sanitizer checks it
    EXPECT_EQ(s->GetWatermark(0), second);
    EXPECT_EQ(s->GetWatermark(1), nullptr);
    EXPECT_EQ(s->RemoveWatermark(3), 1);
    // `second` is released with the record.
}

TEST(Settings, CopyInfoTruncatesAndAlwaysTerminates) {
    CImageToPDFSettings s;
    s.SetInfo(0, L"abcdef");
    wchar_t small[4] = {L'x', L'x', L'x', L'x'};
    EXPECT_EQ(s.CopyInfo(0, small, 4), 7);
    EXPECT_STREQ(small, L"abc");
    wchar_t big[10];
    EXPECT_EQ(s.CopyInfo(0, big, 10), 7);
    EXPECT_STREQ(big, L"abcdef");
    wchar_t untouched[2] = {L'q', L'\0'};
    EXPECT_EQ(s.CopyInfo(0, untouched, 0), 7);
    EXPECT_EQ(untouched[0], L'q');
}

TEST(Settings, CopyFromCarriesEveryValueAndCopiesTheWatermarks) {
    CImageToPDFSettings from;
    from.SetInfo(4, L"keys");
    from.SetCustomPageSize(500, 700);
    from.SetPageSize(4);
    from.SetMargin(3, 12);
    from.SetImageEncode(2);
    from.SetDefaultImageEncode(3);
    from.SetJpegQuality(80);
    from.SetImageMaxSize(1000, 0);
    from.SetDpi(300);
    from.SetSplitImage(1);
    from.SetFillMultiImage(1);
    from.SetRotatePage(1);
    from.SetDoublePage(1);
    from.SetCreateBookmark(1);
    from.SetBookmarkText(L"p%NUMBER%");
    from.SetImageInPage(1);
    from.SetImageAutoRotate(1);
    auto* text = make<ITextWatermark>(FOLIMO_TEXT_WATERMARK).release();
    text->SetText(L"draft");
    from.AddWatermark(text);

    auto engine = folimo::test::createEngine();
    engine->CopySettings(&from);
    IFolimoSettings* to = engine->GetSettings();
    EXPECT_STREQ(to->GetInfo(4), L"keys");
    int w = 0, h = 0;
    to->GetCustomPageSize(&w, &h);
    EXPECT_EQ(w * 10000 + h, 500 * 10000 + 700);
    EXPECT_EQ(to->GetPageSize(), 4);
    EXPECT_EQ(to->GetMargin(3), 12);
    EXPECT_EQ(to->GetImageEncode(), 2);
    EXPECT_EQ(to->GetDefaultImageEncode(), 3);
    EXPECT_EQ(to->GetJpegQuality(), 80);
    to->GetImageMaxSize(&w, &h);
    EXPECT_EQ(w, 1000);
    EXPECT_EQ(to->GetDpi(), 300);
    EXPECT_EQ(to->GetSplitImage() + to->GetFillMultiImage() + to->GetRotatePage() +
                  to->GetDoublePage() + to->GetCreateBookmark() + to->GetImageInPage() +
                  to->GetImageAutoRotate(),
              7);
    EXPECT_STREQ(to->GetBookmarkText(), L"p%NUMBER%");
    ASSERT_EQ(to->GetWatermarkCount(), 1);
    auto* copy = static_cast<ITextWatermark*>(to->GetWatermark(0));
    EXPECT_NE(copy, text); // each record owns its own objects
    EXPECT_STREQ(copy->GetText(), L"draft");
}

TEST(Watermarks, NewWatermarksHaveTheirDefaults) {
    auto t = make<ITextWatermark>(FOLIMO_TEXT_WATERMARK);
    auto i = make<IImageWatermark>(FOLIMO_IMAGE_WATERMARK);
    for (IWatermark* w : {static_cast<IWatermark*>(t.get()), static_cast<IWatermark*>(i.get())}) {
        int x = -5, y = -5;
        w->GetPosition(&x, &y);
        EXPECT_EQ(x, 0);
        EXPECT_EQ(y, 0);
        EXPECT_EQ(w->GetOpacity(), 100);
        EXPECT_EQ(w->GetAngle(), 0);
        EXPECT_STREQ(w->GetFileFilter(), L"");
    }
    EXPECT_EQ(t->GetFontSize(), 8);
    EXPECT_EQ(t->GetColor(), 0);
    EXPECT_STREQ(t->GetText(), L"");
    EXPECT_STREQ(i->GetImagePath(), L"");
    t->SetFontSize(0);
    EXPECT_EQ(t->GetFontSize(), 20);
    t->SetFontSize(-3);
    EXPECT_EQ(t->GetFontSize(), 20);
}

TEST(Watermarks, CopyTextReportsTheSizeThatHoldsTheTextWhole) {
    CTextWatermark t;
    t.SetText(L"abcdef");
    wchar_t small[4];
    int length = 4;
    EXPECT_EQ(t.CopyText(small, &length), 7);
    EXPECT_STREQ(small, L"abc");
    EXPECT_EQ(length, 4);
    wchar_t big[10];
    length = 10;
    EXPECT_EQ(t.CopyText(big, &length), 7);
    EXPECT_STREQ(big, L"abcdef");
    EXPECT_EQ(length, 7);

    CImageWatermark i;
    i.SetImagePath(L"/tmp/印.png");
    wchar_t path[32];
    length = 32;
    EXPECT_EQ(i.CopyImagePath(path, &length), 11);
    EXPECT_STREQ(path, L"/tmp/印.png");
    EXPECT_EQ(length, 11);
}

TEST(Engine, SupportedFilesGoByTheTextAfterTheLastDot) {
    auto engine = folimo::test::createEngine();
    for (const wchar_t* yes : {L"a.jpg", L"B.JPG", L"c.tiff", L"d.PDF", L"e.webp", L"png",
                               L"dir.txt/f.jpe", L"x.y.Exif", L"g.heic", L"h.HEIF", L"i.avif"})
        EXPECT_EQ(engine->IsSupportedFile(yes), 1);
    for (const wchar_t* no : {L"a.txt", L"b.jpg.bak", L"", L"c.", L"pdfx"})
        EXPECT_EQ(engine->IsSupportedFile(no), 0);
    EXPECT_EQ(engine->IsSupportedFile(nullptr), 0);
}

} // namespace
