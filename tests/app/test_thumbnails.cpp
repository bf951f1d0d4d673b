// Thumbnails for the file list's rows: the cache shared with the file managers (read and
// written by its rules, checked here by a reader of the PNG's chunks of its own), the
// EXIF thumbnail and turn of photos, PDF first pages, page counts, refused bombs, and
// the decoded thumbnails kept in memory.
#include "ImageFixtures.h"
#include "RowThumbnails.h"
#include "TestApplication.h"
#include "TestSupport.h"
#include "Thumbnails.h"

#include <QBuffer>
#include <QColor>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QImage>
#include <QImageWriter>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

namespace {

using namespace folimo::thumbs;
using folimo::test::TempDir;
namespace fs = std::filesystem;

// The URI as the desktop's readers make it: file:// and the path's UTF-8 bytes, all but
// the unreserved characters and slashes percent-encoded.
std::string desktopUri(const std::string& path) {
    std::string uri = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            uri += char(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            uri += escaped;
        }
    }
    return uri;
}

std::string md5Hex(const std::string& text) {
    return QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Md5)
        .toHex()
        .toStdString();
}

// The text chunks of a PNG: length, type, data, CRC after the 8-byte signature; a tEXt
// chunk's data is key, NUL, value.
std::map<std::string, std::string> pngTexts(const std::string& path) {
    std::map<std::string, std::string> texts;
    for (const auto& chunk : folimo::test::splitPng(folimo::test::readFile(path))) {
        if (chunk.type != "tEXt")
            continue;
        const auto nul = chunk.data.find('\0');
        texts[chunk.data.substr(0, nul)] = chunk.data.substr(nul + 1);
    }
    return texts;
}

std::string withTexts(const std::string& png, const std::map<std::string, std::string>& texts) {
    auto chunks = folimo::test::splitPng(png);
    for (const auto& [key, value] : texts)
        chunks.insert(chunks.begin() + 1, {"tEXt", key + std::string(1, '\0') + value, 0});
    return folimo::test::joinPng(chunks);
}

std::int64_t mtimeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mtime;
}

unsigned modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

void setMtime(const std::string& path, std::int64_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string jpegOf(const QImage& image, bool progressive = false) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(95);
    writer.setProgressiveScanWrite(progressive);
    EXPECT_TRUE(writer.write(image));
    return bytes.toStdString();
}

QImage filled(int width, int height, QColor colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// Left half red, right half blue: a turn shows where the left went.
QImage halves(int width, int height) {
    QImage image = filled(width, height, Qt::blue);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width / 2; ++x)
            image.setPixelColor(x, y, Qt::red);
    return image;
}

void put16(std::string& s, unsigned v) {
    s += char(v & 0xFF);
    s += char(v >> 8);
}
void put32(std::string& s, unsigned v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

// An APP1 Exif payload (little-endian TIFF): IFD0 with the orientation, IFD1 pointing at
// the embedded JPEG thumbnail, which follows.
std::string exifPayload(int orientation, const std::string& thumbnail) {
    std::string tiff = "II*";
    tiff += '\0';
    put32(tiff, 8);
    put16(tiff, 1); // IFD0 at 8: one entry
    put16(tiff, 0x0112);
    put16(tiff, 3);
    put32(tiff, 1);
    put16(tiff, unsigned(orientation));
    put16(tiff, 0);
    put32(tiff, 26); // IFD1
    put16(tiff, 2);  // IFD1 at 26: two entries
    put16(tiff, 0x0201);
    put16(tiff, 4);
    put32(tiff, 1);
    put32(tiff, 26 + 2 + 24 + 4); // the thumbnail right after IFD1
    put16(tiff, 0x0202);
    put16(tiff, 4);
    put32(tiff, 1);
    put32(tiff, unsigned(thumbnail.size()));
    put32(tiff, 0);
    return std::string("Exif\0\0", 6) + tiff + thumbnail;
}

std::string photoWithExif(const QImage& photo, int orientation, const QImage& thumbnail,
                          bool progressive = false) {
    return folimo::test::insertJpegSegment(
        jpegOf(photo, progressive), 0xE1,
        exifPayload(orientation, thumbnail.isNull() ? std::string() : jpegOf(thumbnail)));
}

bool near(QColor a, QColor b) {
    return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40 &&
           std::abs(a.blue() - b.blue()) < 40;
}

QColor centre(const QImage& image) {
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

class Thumbnails : public ::testing::Test {
protected:
    TempDir dir;
    std::string root = dir.file("thumbnails");
    ThumbnailCache cache{QString::fromStdString(root)};

    std::string photo(const std::string& name, const QImage& image) {
        const std::string path = dir.file(name);
        folimo::test::writeFile(path, jpegOf(image));
        return path;
    }
    std::string cachePath(const std::string& file, const char* size = "normal") const {
        return root + "/" + size + "/" + md5Hex(desktopUri(file)) + ".png";
    }
    QImage get(const std::string& file, ThumbSize size = ThumbSize::Normal) {
        return cache.Get(QString::fromStdString(file), size);
    }
};

TEST_F(Thumbnails, TheUriAndCachePathFollowTheDesktopsEncoding) {
    for (const std::string name : {"plain.jpg", "with space.jpg", "Ünïcödé 写真.jpg", "100%.jpg"}) {
        const std::string path = dir.file(name);
        EXPECT_EQ(FileUri(QString::fromStdString(path)).toStdString(), desktopUri(path));
        EXPECT_EQ(cache.PathFor(QString::fromStdString(path), ThumbSize::Large).toStdString(),
                  cachePath(path, "large"));
    }
}

// A thumbnail another program made (gdk-pixbuf's thumbnailer, keys added as the file
// managers add them) is used when its keys match the file, and replaced when not.
TEST_F(Thumbnails, AnotherProgramsThumbnailIsUsedOnlyWhenItsKeysMatch) {
    const std::string file = photo("a photo.jpg", filled(400, 300, Qt::blue));
    const std::string red = dir.file("red.png");
    folimo::test::makeImage("-size 400x300 xc:red", red);
    const std::string made = dir.file("made.png");
    ASSERT_EQ(folimo::test::runCommand("gdk-pixbuf-thumbnailer -s 128 " +
                                       folimo::test::shellQuote(red) + " " +
                                       folimo::test::shellQuote(made))
                  .exitCode,
              0);
    const std::string uri = desktopUri(file), mtime = std::to_string(mtimeOf(file));
    struct Case {
        const char* what;
        std::string uri, mtime;
        bool used;
    };
    for (const Case& c :
         {Case{"matching", uri, mtime, true}, Case{"other URI", uri + "x", mtime, false},
          Case{"other time", uri, std::to_string(mtimeOf(file) - 5), false}}) {
        SCOPED_TRACE(c.what);
        fs::create_directories(root + "/normal");
        folimo::test::writeFile(cachePath(file),
                                withTexts(folimo::test::readFile(made),
                                          {{"Thumb::URI", c.uri}, {"Thumb::MTime", c.mtime}}));
        const QImage image = get(file);
        ASSERT_FALSE(image.isNull());
        EXPECT_TRUE(near(centre(image), c.used ? Qt::red : Qt::blue))
            << centre(image).name().toStdString();
        const auto texts = pngTexts(cachePath(file));
        EXPECT_EQ(texts.count("Software") == 1, !c.used);
        EXPECT_EQ(texts.at("Thumb::URI"), uri);
        EXPECT_EQ(texts.at("Thumb::MTime"), mtime);
    }
}

TEST_F(Thumbnails, OursCarryTheKeysAndArePrivate) {
    const std::string file = photo("Fotoğraf 1.jpg", filled(1000, 500, Qt::green));
    struct Case {
        ThumbSize size;
        const char* folder;
        int width, height;
    };
    for (const Case& c :
         {Case{ThumbSize::Normal, "normal", 128, 64}, Case{ThumbSize::Large, "large", 256, 128}}) {
        const QImage image = get(file, c.size);
        EXPECT_EQ(image.size(), QSize(c.width, c.height));
        const std::string cached = cachePath(file, c.folder);
        const auto texts = pngTexts(cached);
        EXPECT_EQ(texts.at("Thumb::URI"), desktopUri(file));
        EXPECT_EQ(texts.at("Thumb::MTime"), std::to_string(mtimeOf(file)));
        EXPECT_EQ(texts.at("Thumb::Size"), std::to_string(fs::file_size(file)));
        EXPECT_EQ(texts.at("Thumb::Mimetype"), "image/jpeg");
        EXPECT_FALSE(texts.at("Software").empty());
        EXPECT_EQ(modeOf(cached), 0600u);
        EXPECT_EQ(modeOf(root + "/" + c.folder), 0700u);
        EXPECT_EQ(folimo::test::listDir(root + "/" + c.folder).size(), 1u)
            << "temporary files left";
        EXPECT_EQ(folimo::test::identify("%wx%h", cached),
                  std::to_string(c.width) + "x" + std::to_string(c.height));
    }
    EXPECT_EQ(modeOf(root), 0700u);
}

TEST_F(Thumbnails, AChangedFileGetsANewThumbnail) {
    const std::string file = photo("changing.jpg", filled(300, 300, Qt::blue));
    setMtime(file, 1'700'000'000);
    EXPECT_TRUE(near(centre(get(file)), Qt::blue));
    folimo::test::writeFile(file, jpegOf(filled(300, 300, Qt::red)));
    setMtime(file, 1'700'000'100);
    EXPECT_TRUE(near(centre(get(file)), Qt::red));
    EXPECT_EQ(pngTexts(cachePath(file)).at("Thumb::MTime"), "1700000100");
}

TEST_F(Thumbnails, TheExifThumbnailIsUsedOnlyWhenItFits) {
    struct Case {
        const char* what;
        QSize photo;
        QSize thumbnail; // red; the photo is blue
        int edge;
        bool used;
    };
    for (const Case& c : {
             Case{"fits", {800, 600}, {160, 120}, 128, true},
             Case{"smaller than asked", {800, 600}, {160, 120}, 256, false},
             Case{"padded 4:3 for a 16:9 photo", {1280, 720}, {160, 120}, 128, false},
             Case{"16:9 for a 16:9 photo", {1280, 720}, {160, 90}, 128, true},
         }) {
        SCOPED_TRACE(c.what);
        const std::string file = dir.file("exif.jpg");
        folimo::test::writeFile(
            file, photoWithExif(filled(c.photo.width(), c.photo.height(), Qt::blue), 1,
                                filled(c.thumbnail.width(), c.thumbnail.height(), Qt::red)));
        QString error;
        const QImage image = MakeThumbnail(QString::fromStdString(file), c.edge, &error);
        ASSERT_FALSE(image.isNull()) << error.toStdString();
        EXPECT_EQ(image.size(), c.photo.scaled(c.edge, c.edge, Qt::KeepAspectRatio));
        EXPECT_TRUE(near(centre(image), c.used ? Qt::red : Qt::blue));
    }
}

// Orientation 6: the stored picture is turned a quarter clockwise to be shown, so its
// left half comes on top.
TEST_F(Thumbnails, TheExifOrientationTurnsTheThumbnail) {
    // A progressive photo is read only as far as its blocks' averages when an eighth of
    // its size is enough, and whole otherwise.
    struct Case {
        const char* what;
        bool progressive, withThumbnail;
        int edge;
    };
    for (const Case& c :
         {Case{"decoded", false, false, 128}, Case{"progressive, averages", true, false, 96},
          Case{"progressive, whole", true, false, 256},
          Case{"from the EXIF thumbnail", false, true, 128}}) {
        SCOPED_TRACE(c.what);
        const std::string file = dir.file("turned.jpg");
        folimo::test::writeFile(file, photoWithExif(halves(800, 600), 6,
                                                    c.withThumbnail ? halves(160, 120) : QImage(),
                                                    c.progressive));
        const QImage image = MakeThumbnail(QString::fromStdString(file), c.edge);
        ASSERT_EQ(image.size(), QSize(c.edge * 3 / 4, c.edge));
        EXPECT_TRUE(near(image.pixelColor(image.width() / 2, 2), Qt::red));
        EXPECT_TRUE(near(image.pixelColor(image.width() / 2, image.height() - 3), Qt::blue));
    }
}

TEST_F(Thumbnails, PagesAreCountedOrUnknown) {
    const std::string tiff = dir.file("three.tif");
    folimo::test::makeImage("-size 40x30 xc:red xc:green xc:blue", tiff);
    const std::string pdf = dir.file("two.pdf");
    folimo::test::makePdf(pdf, {{200, 100}, {100, 200}});
    const std::string locked = dir.file("locked.pdf");
    ASSERT_EQ(folimo::test::runCommand("qpdf --encrypt secret owner 256 -- " +
                                       folimo::test::shellQuote(pdf) + " " +
                                       folimo::test::shellQuote(locked))
                  .exitCode,
              0);
    const std::string png = dir.file("one.png");
    folimo::test::writeFile(png, folimo::test::makePng({}));
    const std::string jpeg = photo("one.jpg", filled(20, 20, Qt::red));
    const std::string broken = dir.file("broken.png");
    folimo::test::writeFile(broken, folimo::test::makePng({}).substr(0, 20));
    const std::string brokenPdf = dir.file("broken.pdf");
    folimo::test::writeFile(brokenPdf, "%PDF-1.7\nnothing else");
    struct Case {
        std::string path;
        int pages;
    };
    for (const Case& c :
         {Case{tiff, 3}, Case{pdf, 2}, Case{png, 1}, Case{jpeg, 1}, Case{broken, kUnknownPages},
          Case{brokenPdf, kUnknownPages}, Case{locked, kUnknownPages},
          Case{dir.file("missing.png"), kUnknownPages}}) {
        EXPECT_EQ(PageCount(QString::fromStdString(c.path)), c.pages) << c.path;
    }
}

// A PDF whose pages are filled with one colour each, 400 × 200 points.
std::string colouredPdf(const std::vector<std::string>& rgbs) {
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
    std::string kids;
    for (const auto& rgb : rgbs) {
        const std::string content = rgb + " rg 0 0 400 200 re f";
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 200] /Contents " +
                          std::to_string(objects.size() + 2) + " 0 R >>");
        kids += std::to_string(objects.size()) + " 0 R ";
        objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" +
                          content + "\nendstream");
    }
    objects[1] =
        "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(rgbs.size()) + " >>";
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t offset : offsets) {
        char line[21];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

TEST_F(Thumbnails, APdfsFirstPageIsRendered) {
    const std::string pdf = dir.file("green.pdf");
    folimo::test::writeFile(pdf, colouredPdf({"0 0.75 0", "0.75 0 0"}));
    ASSERT_TRUE(folimo::test::qpdfCheckClean(pdf));
    const QImage page = RenderPdfPage(QString::fromStdString(pdf), 0, QSize(100, 100));
    ASSERT_EQ(page.size(), QSize(100, 50));
    EXPECT_TRUE(near(centre(page), QColor(0, 0xC0, 0)));
    EXPECT_TRUE(near(centre(RenderPdfPage(QString::fromStdString(pdf), 1, QSize(300, 300))),
                     QColor(0xC0, 0, 0)));
    EXPECT_TRUE(RenderPdfPage(QString::fromStdString(pdf), 2, QSize(100, 100)).isNull());
    const QImage thumbnail = get(pdf);
    EXPECT_EQ(thumbnail.size(), QSize(128, 64));
    EXPECT_EQ(pngTexts(cachePath(pdf)).at("Thumb::Mimetype"), "application/pdf");
}

// A PNG header claiming 30000 × 30000 pixels (3.6 GB decoded) with almost no data.
TEST_F(Thumbnails, ABombIsRefusedAndRecordedAsAFailure) {
    std::string ihdr;
    for (unsigned v : {30000u, 30000u})
        for (int shift = 24; shift >= 0; shift -= 8)
            ihdr += char((v >> shift) & 0xFF);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    const std::string bomb = dir.file("bomb.png");
    folimo::test::writeFile(
        bomb,
        folimo::test::joinPng({{"IHDR", ihdr, 0},
                               {"IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8), 0},
                               {"IEND", "", 0}}));
    QString error;
    EXPECT_TRUE(MakeThumbnail(QString::fromStdString(bomb), 128, &error).isNull());
    EXPECT_NE(error.indexOf("too large"), -1) << error.toStdString();
    EXPECT_TRUE(get(bomb).isNull());
    const std::string failure = root + "/fail/folimo/" + md5Hex(desktopUri(bomb)) + ".png";
    const auto texts = pngTexts(failure);
    EXPECT_EQ(texts.at("Thumb::URI"), desktopUri(bomb));
    EXPECT_EQ(texts.at("Thumb::MTime"), std::to_string(mtimeOf(bomb)));
    EXPECT_FALSE(folimo::test::fileExists(cachePath(bomb)));
    EXPECT_EQ(modeOf(failure), 0600u);
}

TEST_F(Thumbnails, ManyThreadsShareTheCache) {
    std::vector<std::string> files;
    for (int i = 0; i < 8; ++i)
        files.push_back(photo("p" + std::to_string(i) + ".jpg", filled(500 + i, 400, Qt::blue)));
    std::atomic<int> made{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] {
            for (const auto& file : files)
                made += cache.Get(QString::fromStdString(file), ThumbSize::Normal).isNull() ? 0 : 1;
        });
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(made, 32);
    EXPECT_EQ(folimo::test::listDir(root + "/normal").size(), files.size());
}

TEST(ThumbnailMemory, KeepsTheRecentWithinItsBudgetAndTurnsCopies) {
    const QImage image = filled(100, 50, Qt::red); // 20,000 bytes
    ThumbnailMemory memory(50'000);
    memory.Insert("a", 1, image);
    memory.Insert("b", 1, image);
    EXPECT_FALSE(memory.Find("a", 1, 0).isNull()); // a is now the most recent
    memory.Insert("c", 1, image);                  // b goes
    EXPECT_TRUE(memory.Find("b", 1, 0).isNull());
    EXPECT_FALSE(memory.Find("a", 1, 0).isNull());
    EXPECT_TRUE(memory.Find("a", 2, 0).isNull()) << "another modification time";
    EXPECT_LE(memory.Bytes(), 50'000u);

    ThumbnailMemory turns;
    QImage marked = filled(100, 50, Qt::blue);
    marked.setPixelColor(0, 0, Qt::red);
    turns.Insert("x", 7, marked);
    struct Case {
        int quarterTurns;
        QSize size;
        QPoint red;
    };
    for (const Case& c :
         {Case{0, {100, 50}, {0, 0}}, Case{1, {50, 100}, {49, 0}}, Case{2, {100, 50}, {99, 49}},
          Case{3, {50, 100}, {0, 99}}, Case{-1, {50, 100}, {0, 99}}, Case{5, {50, 100}, {49, 0}}}) {
        const QImage turned = turns.Find("x", 7, c.quarterTurns);
        ASSERT_EQ(turned.size(), c.size) << c.quarterTurns;
        EXPECT_EQ(turned.pixelColor(c.red), QColor(Qt::red)) << c.quarterTurns;
    }
    EXPECT_EQ(turns.Count(), 4u);
}

// The rows' side: a first ask gives nothing and comes back through the window's thread, the
// next finds it turned as the row is; a file with none is asked for once, a missing one never.
TEST_F(Thumbnails, RowsGetTheirThumbnailsThroughTheOwnersThread) {
    folimo::test::application();
    const QString wide = QString::fromStdString(photo("wide.jpg", filled(400, 200, Qt::red)));
    const QString broken = QString::fromStdString(dir.file("broken.jpg"));
    folimo::test::writeFile(broken.toStdString(), "\xFF\xD8 not a photo");
    std::vector<QString> told;
    folimo::RowThumbnails rows(
        [&](const std::vector<QString>& paths) {
            told.insert(told.end(), paths.begin(), paths.end());
        },
        {QString::fromStdString(root), 2, 1 << 20, 16});

    EXPECT_TRUE(rows.Find(wide, 0).isNull());
    EXPECT_TRUE(rows.Find(broken, 0).isNull());
    EXPECT_TRUE(rows.Find(QString::fromStdString(dir.file("gone.jpg")), 0).isNull());
    QElapsedTimer clock;
    clock.start();
    while ((told.empty() || rows.Pending() > 0) && clock.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(told, std::vector<QString>{wide});
    EXPECT_EQ(rows.Find(wide, 0).size(), QSize(128, 64));
    EXPECT_EQ(rows.Find(wide, 3).size(), QSize(64, 128));
    EXPECT_TRUE(rows.Find(broken, 0).isNull());
    EXPECT_EQ(rows.Pending(), 0u) << "a file without a thumbnail is not asked for again";
}

} // namespace
