#include "Thumbnails.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QMimeDatabase>
#include <QTransform>
#include <QUrl>

// poppler renders the PDF rows: it is already the test suite's independent PDF reader,
// renders as most Linux viewers do, and pulls far fewer packages than Qt PDF, which is
// built from the web engine's source.
#include <poppler-qt6.h>
#include <tiffio.h>
// jpeglib.h needs FILE declared first.
#include <cstdio>
#include <jpeglib.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace folimo::thumbs {

namespace {

// poppler's global state (its font caches and the parameters it reads once) is not
// documented as safe for several documents on several threads; PDF rows are few beside
// photographs, so they take turns.
// A broken PDF is the caller's answer (unknown, no thumbnail), not lines on stderr.
void quietPoppler(const QString&, const QVariant&) {}

std::mutex& popplerMutex() {
    static std::mutex mutex;
    static const bool quiet = [] {
        Poppler::setDebugErrorFunction(quietPoppler, QVariant());
        return true;
    }();
    (void)quiet;
    return mutex;
}

enum class Kind { Missing, Jpeg, Tiff, Pdf, Other };

Kind kindOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Kind::Missing;
    const QByteArray head = file.read(1024);
    if (head.startsWith("\xFF\xD8\xFF"))
        return Kind::Jpeg;
    if (head.startsWith("II*\0") || head.startsWith(QByteArray("MM\0*", 4)) ||
        head.startsWith("II+\0") || head.startsWith(QByteArray("MM\0+", 4)))
        return Kind::Tiff;
    // Some writers put a few bytes before the header; readers look for it in the first
    // kilobyte.
    if (head.contains("%PDF-"))
        return Kind::Pdf;
    return Kind::Other;
}

QSize fitted(QSize size, int edge) {
    if (size.width() <= edge && size.height() <= edge)
        return size;
    return size.scaled(edge, edge, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

// ---------------------------------------------------------------------------------------
// JPEG: the frame size, the EXIF orientation and the EXIF thumbnail, read from the
// markers before the first scan.

struct JpegFacts {
    QSize size;
    bool progressive = false;
    int orientation = 1;
    QByteArray exifThumbnail;
};

std::uint32_t readUnsigned(const unsigned char* p, int bytes, bool bigEndian) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= std::uint32_t(p[bigEndian ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return value;
}

void readExif(const unsigned char* tiff, std::size_t size, JpegFacts& facts) {
    if (size < 8)
        return;
    bool big;
    if (tiff[0] == 'M' && tiff[1] == 'M')
        big = true;
    else if (tiff[0] == 'I' && tiff[1] == 'I')
        big = false;
    else
        return;
    auto u16 = [&](std::size_t at) { return readUnsigned(tiff + at, 2, big); };
    auto u32 = [&](std::size_t at) { return readUnsigned(tiff + at, 4, big); };
    std::size_t ifd = u32(4);
    std::uint32_t thumbOffset = 0, thumbLength = 0;
    // IFD0 holds the orientation; the IFD it links to, IFD1, the thumbnail.
    for (int index = 0; index < 2 && ifd != 0 && ifd + 2 <= size; ++index) {
        const std::uint32_t count = u16(ifd);
        if (ifd + 2 + std::size_t(count) * 12 + 4 > size)
            return;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::size_t entry = ifd + 2 + std::size_t(i) * 12;
            const std::uint32_t tag = u16(entry), type = u16(entry + 2);
            const std::uint32_t value = type == 3 ? u16(entry + 8) : u32(entry + 8);
            if (index == 0 && tag == 0x0112 && value >= 1 && value <= 8)
                facts.orientation = int(value);
            if (index == 1 && tag == 0x0201)
                thumbOffset = value;
            if (index == 1 && tag == 0x0202)
                thumbLength = value;
        }
        ifd = u32(ifd + 2 + std::size_t(count) * 12);
    }
    if (thumbOffset != 0 && thumbLength != 0 && thumbOffset < size &&
        thumbLength <= size - thumbOffset)
        facts.exifThumbnail =
            QByteArray(reinterpret_cast<const char*>(tiff) + thumbOffset, int(thumbLength));
}

bool isFrameMarker(int marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Reads markers up to the first scan; the frame's size stays empty when none is found.
JpegFacts readJpegFacts(const QByteArray& bytes, bool wantExif) {
    JpegFacts facts;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const std::size_t size = std::size_t(bytes.size());
    std::size_t at = 2;
    while (at + 4 <= size) {
        if (p[at] != 0xFF) {
            ++at;
            continue;
        }
        const int marker = p[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA)
            break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        const std::size_t length = readUnsigned(p + at + 2, 2, true);
        if (length < 2 || at + 2 + length > size)
            break;
        const unsigned char* payload = p + at + 4;
        const std::size_t payloadSize = length - 2;
        if (isFrameMarker(marker) && payloadSize >= 5 && facts.size.isEmpty()) {
            facts.size = QSize(int(readUnsigned(payload + 3, 2, true)),
                               int(readUnsigned(payload + 1, 2, true)));
            facts.progressive =
                marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
        }
        if (wantExif && marker == 0xE1 && payloadSize > 6 &&
            std::memcmp(payload, "Exif\0\0", 6) == 0 && facts.exifThumbnail.isEmpty())
            readExif(payload + 6, payloadSize - 6, facts);
        at += 2 + length;
    }
    return facts;
}

QImage oriented(const QImage& image, int orientation) {
    switch (orientation) {
    case 2:
        return image.mirrored(true, false);
    case 3:
        return image.mirrored(true, true);
    case 4:
        return image.mirrored(false, true);
    case 5:
        return image.transformed(QTransform().rotate(90)).mirrored(true, false);
    case 6:
        return image.transformed(QTransform().rotate(90));
    case 7:
        return image.transformed(QTransform().rotate(90)).mirrored(false, true);
    case 8:
        return image.transformed(QTransform().rotate(270));
    default:
        return image;
    }
}

struct TjDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void jpegFail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}
void jpegQuiet(j_common_ptr, int) {}

// A progressive JPEG sends every block's average (DC) before any detail, and an eighth of
// the size is made of those averages alone: the decoder stops after the scans that carry
// them instead of reading the whole file, several times faster for a thumbnail. The
// setjmp is alone here with nothing to destroy, as libjpeg's errors jump over frames.
// Returns 0 when `out` (RGBX rows of `stride` bytes, `width` × `height` at 1/8) is filled.
int decodeProgressiveAverages(const unsigned char* data, unsigned long size, unsigned char* out,
                              std::size_t stride, int width, int height) {
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegFail;
    error.manager.emit_message = jpegQuiet;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return -1;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    info.buffered_image = TRUE;
    info.scale_num = 1;
    info.scale_denom = 8;
    info.out_color_space = JCS_EXT_RGBX;
    info.dct_method = JDCT_IFAST;
    info.do_fancy_upsampling = FALSE;
    if (!info.progressive_mode ||
        (info.jpeg_color_space != JCS_YCbCr && info.jpeg_color_space != JCS_GRAYSCALE &&
         info.jpeg_color_space != JCS_RGB)) {
        jpeg_destroy_decompress(&info);
        return -1;
    }
    jpeg_start_decompress(&info);
    if (int(info.output_width) != width || int(info.output_height) != height) {
        jpeg_destroy_decompress(&info);
        return -1;
    }
    for (;;) {
        const int status = jpeg_consume_input(&info);
        if (status == JPEG_REACHED_EOI || status == JPEG_SUSPENDED)
            break;
        if (status != JPEG_SCAN_COMPLETED)
            continue;
        bool averages = true;
        for (int c = 0; c < info.num_components; ++c)
            averages = averages && info.coef_bits[c][0] >= 0;
        if (averages)
            break;
    }
    jpeg_start_output(&info, info.input_scan_number);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out + std::size_t(info.output_scanline) * stride;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_destroy_decompress(&info);
    return 0;
}

// Decodes at the smallest DCT scale whose longer side still reaches `edge`, so a large
// photo is never decoded whole. Null when TurboJPEG cannot (a CMYK file, a damaged one).
QImage decodeJpegScaled(const QByteArray& bytes, QSize size, bool progressive, int edge) {
    std::unique_ptr<void, TjDeleter> handle(tjInitDecompress());
    if (!handle)
        return {};
    int factorCount = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&factorCount);
    int width = size.width(), height = size.height();
    const int longer = std::max(width, height);
    for (int i = 0; i < factorCount; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num > f.denom)
            continue;
        const int w = TJSCALED(size.width(), f), h = TJSCALED(size.height(), f);
        if (std::max(w, h) >= std::min(edge, longer) &&
            std::int64_t(w) * h < std::int64_t(width) * height) {
            width = w;
            height = h;
        }
    }
    QImage image(width, height, QImage::Format_RGBX8888);
    if (image.isNull())
        return {};
    const auto* source = reinterpret_cast<const unsigned char*>(bytes.constData());
    if (progressive && width == TJSCALED(size.width(), (tjscalingfactor{1, 8})) &&
        height == TJSCALED(size.height(), (tjscalingfactor{1, 8})) &&
        decodeProgressiveAverages(source, static_cast<unsigned long>(bytes.size()), image.bits(),
                                  std::size_t(image.bytesPerLine()), width, height) == 0)
        return image;
    if (tjDecompress2(handle.get(), source, static_cast<unsigned long>(bytes.size()), image.bits(),
                      width, int(image.bytesPerLine()), height, TJPF_RGBX,
                      TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE) != 0 &&
        tjGetErrorCode(handle.get()) == TJERR_FATAL)
        return {};
    return image;
}

bool sameAspect(QSize a, QSize b) {
    if (a.isEmpty() || b.isEmpty())
        return false;
    const double ra = double(a.width()) / a.height(), rb = double(b.width()) / b.height();
    // A thumbnail rounded to whole pixels differs by a pixel or so; padded ones (4:3 for
    // a 16:9 photo) differ by a third.
    return std::abs(ra - rb) <= 0.03 * std::max(ra, rb);
}

QImage jpegThumbnail(const QString& path, int edge, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return {};
    }
    // The markers, with a camera's EXIF thumbnail, are at the start: a photo whose
    // thumbnail fits is not read further. The rest is read, not mapped, as a file cut
    // short by another program meanwhile would end a mapping's reader with SIGBUS.
    constexpr qint64 kHead = 256 * 1024;
    QByteArray bytes = file.read(kHead);
    JpegFacts facts = readJpegFacts(bytes, true);
    const auto readWhole = [&] {
        if (bytes.size() == kHead) {
            bytes += file.readAll();
            facts = readJpegFacts(bytes, true);
        }
    };
    if (facts.size.isEmpty())
        readWhole();
    if (facts.size.isEmpty()) {
        error = QStringLiteral("no JPEG frame header");
        return {};
    }
    if (std::int64_t(facts.size.width()) * facts.size.height() > kMaxPixels) {
        error = QStringLiteral("picture too large: %1 x %2")
                    .arg(facts.size.width())
                    .arg(facts.size.height());
        return {};
    }
    QImage image;
    if (!facts.exifThumbnail.isEmpty()) {
        const JpegFacts small = readJpegFacts(facts.exifThumbnail, false);
        const int wanted = std::min(edge, std::max(facts.size.width(), facts.size.height()));
        if (std::max(small.size.width(), small.size.height()) >= wanted &&
            sameAspect(small.size, facts.size))
            image = decodeJpegScaled(facts.exifThumbnail, small.size, small.progressive, edge);
    }
    if (image.isNull()) {
        readWhole();
        image = decodeJpegScaled(bytes, facts.size, facts.progressive, edge);
    }
    if (image.isNull()) {
        // CMYK and other files TurboJPEG leaves: Qt's reader, still scaled by the DCT.
        QBuffer buffer;
        buffer.setData(bytes);
        QImageReader reader(&buffer, "jpeg");
        reader.setAutoTransform(false);
        reader.setScaledSize(fitted(facts.size, edge));
        image = reader.read();
        if (image.isNull()) {
            error = reader.errorString();
            return {};
        }
    }
    const QSize target = fitted(image.size(), edge);
    if (target != image.size())
        image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return oriented(image, facts.orientation).convertToFormat(QImage::Format_RGB32);
}

QImage qtThumbnail(const QString& path, int edge, QString& error) {
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!size.isValid()) {
        error = reader.canRead() ? QStringLiteral("picture size unknown") : reader.errorString();
        return {};
    }
    if (std::int64_t(size.width()) * size.height() > kMaxPixels) {
        error = QStringLiteral("picture too large: %1 x %2").arg(size.width()).arg(size.height());
        return {};
    }
    reader.setAutoTransform(true);
    reader.setScaledSize(fitted(size, edge));
    QImage image = reader.read();
    if (image.isNull()) {
        error = reader.errorString();
        return {};
    }
    return image;
}

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

// Broken files are the caller's answer (unknown), not lines on the program's stderr.
int quietTiffMessage(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

int tiffPageCount(const QString& path) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, quietTiffMessage, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quietTiffMessage, nullptr);
    std::unique_ptr<TIFF, TiffCloser> tiff(
        TIFFOpenExt(QFile::encodeName(path).constData(), "rm", options));
    TIFFOpenOptionsFree(options);
    if (!tiff)
        return kUnknownPages;
    const tdir_t count = TIFFNumberOfDirectories(tiff.get());
    return count > 0 ? int(count) : kUnknownPages;
}

std::unique_ptr<Poppler::Document> openPdf(const QString& path) {
    std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    if (!document || document->isLocked())
        return nullptr;
    return document;
}

QImage renderPdfLocked(const QString& path, int page, QSize fit) {
    const std::unique_ptr<Poppler::Document> document = openPdf(path);
    if (!document || page < 0 || page >= document->numPages())
        return {};
    const std::unique_ptr<Poppler::Page> p = document->page(page);
    if (!p)
        return {};
    const QSizeF points = p->pageSizeF();
    if (points.isEmpty() || fit.isEmpty())
        return {};
    const double scale = std::min(fit.width() / points.width(), fit.height() / points.height());
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    document->setPaperColor(Qt::white);
    QImage image = p->renderToImage(72.0 * scale, 72.0 * scale);
    // The page box and the rotation may round a pixel past the fit.
    if (!image.isNull() && (image.width() > fit.width() || image.height() > fit.height()))
        image = image.scaled(fit, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

// ---------------------------------------------------------------------------------------
// The cache's files.

QString md5Name(const QByteArray& uri) {
    return QString::fromLatin1(QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex()) +
           QStringLiteral(".png");
}

struct FileState {
    QByteArray uri;
    std::int64_t mtime = 0;
    qint64 size = 0;
    bool exists = false;
};

FileState stateOf(const QString& path) {
    // stat's seconds, not QFileInfo::lastModified(): that goes through the local time
    // zone, and ThreadSanitizer saw its tzset() race between workers in the run of 1,000
    // rows that ended on a corrupted heap.
    FileState state;
    state.uri = FileUri(path);
    struct stat status {};
    state.exists = ::stat(QFile::encodeName(path).constData(), &status) == 0;
    if (state.exists) {
        state.mtime = std::int64_t(status.st_mtime);
        state.size = qint64(status.st_size);
    }
    return state;
}

// The image, when its keys say it belongs to the file as it is now. The keys are read
// from the decoded image: QImageReader::text() takes the first colon of "Thumb::URI" for
// the end of the key. A cached thumbnail is small, and a stale one rare.
bool readIfFresh(const QString& cached, const FileState& state, QImage* image) {
    QImageReader reader(cached, "png");
    const QImage read = reader.read();
    if (read.isNull() || read.text(QStringLiteral("Thumb::URI")).toUtf8() != state.uri ||
        read.text(QStringLiteral("Thumb::MTime")) != QString::number(state.mtime))
        return false;
    if (image)
        *image = read;
    return true;
}

QByteArray textChunk(const QByteArray& key, const QByteArray& value) {
    QByteArray data = key + '\0' + value;
    QByteArray chunk;
    const auto length = std::uint32_t(data.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        chunk.append(char((length >> shift) & 0xFF));
    QByteArray typed = "tEXt" + data;
    const auto crc = std::uint32_t(
        crc32(0, reinterpret_cast<const Bytef*>(typed.constData()), uInt(typed.size())));
    chunk += typed;
    for (int shift = 24; shift >= 0; shift -= 8)
        chunk.append(char((crc >> shift) & 0xFF));
    return chunk;
}

// Qt's writer compresses longer texts (zTXt), which simple readers of the cache do not
// inflate: the keys go in as plain tEXt chunks right after the header chunk.
QByteArray pngWithKeys(const QImage& image, const QList<QPair<QByteArray, QByteArray>>& keys) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    // zlib's fastest level (Qt maps 85 to 1): deflating at its default level took most of
    // a thumbnail's time when the photo's EXIF thumbnail spared the decoding (1,000 rows:
    // 2.7 s against 1.2 s), for files only 7 % smaller.
    writer.setQuality(85);
    if (!writer.write(image))
        return {};
    constexpr int kHeaderEnd = 8 + 8 + 13 + 4; // signature, IHDR
    if (png.size() < kHeaderEnd)
        return {};
    QByteArray texts;
    for (const auto& [key, value] : keys)
        texts += textChunk(key, value);
    png.insert(kHeaderEnd, texts);
    return png;
}

bool makeFolders(const QString& folder) {
    const QString absolute = QDir::cleanPath(QDir(folder).absolutePath());
    QString path;
    for (const QString& part : absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(path);
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return QFileInfo(absolute).isDir();
}

// The bytes go to a temporary name in the same folder first, so that a reader never
// finds half a PNG under the final name.
bool writeAtomically(const QString& target, const QByteArray& bytes) {
    if (bytes.isEmpty() || !makeFolders(QFileInfo(target).path()))
        return false;
    QByteArray temporary = QFile::encodeName(target) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data()); // 0600
    if (fd < 0)
        return false;
    ::fchmod(fd, 0600);
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    bool ok = true;
    while (left > 0) {
        const ssize_t written = ::write(fd, data, std::size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            ok = false;
            break;
        }
        data += written;
        left -= written;
    }
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ok = ::rename(temporary.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok)
        ::unlink(temporary.constData());
    return ok;
}

QList<QPair<QByteArray, QByteArray>> keysFor(const QString& file, const FileState& state) {
    static const QMimeDatabase mimes;
    return {
        {"Thumb::URI", state.uri},
        {"Thumb::MTime", QByteArray::number(qlonglong(state.mtime))},
        {"Thumb::Size", QByteArray::number(state.size)},
        {"Thumb::Mimetype", mimes.mimeTypeForFile(file).name().toUtf8()},
        {"Software", "Folimo"},
    };
}

} // namespace

// ---------------------------------------------------------------------------------------

QByteArray FileUri(const QString& path) {
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded();
}

int PageCount(const QString& path) {
    switch (kindOf(path)) {
    case Kind::Missing:
        return kUnknownPages;
    case Kind::Tiff:
        return tiffPageCount(path);
    case Kind::Pdf: {
        const std::lock_guard<std::mutex> lock(popplerMutex());
        const std::unique_ptr<Poppler::Document> document = openPdf(path);
        return document && document->numPages() > 0 ? document->numPages() : kUnknownPages;
    }
    case Kind::Jpeg:
    case Kind::Other:
        return QImageReader(path).size().isValid() ? 1 : kUnknownPages;
    }
    return kUnknownPages;
}

QImage RenderPdfPage(const QString& path, int page, QSize fit) {
    const std::lock_guard<std::mutex> lock(popplerMutex());
    return renderPdfLocked(path, page, fit);
}

QImage MakeThumbnail(const QString& path, int edge, QString* error) {
    QString message;
    QImage image;
    switch (kindOf(path)) {
    case Kind::Missing:
        message = QStringLiteral("cannot open the file");
        break;
    case Kind::Jpeg:
        image = jpegThumbnail(path, edge, message);
        break;
    case Kind::Pdf:
        image = RenderPdfPage(path, 0, QSize(edge, edge));
        if (image.isNull())
            message = QStringLiteral("cannot render the PDF's first page");
        break;
    case Kind::Tiff:
    case Kind::Other:
        image = qtThumbnail(path, edge, message);
        break;
    }
    if (error)
        *error = image.isNull() ? message : QString();
    return image;
}

ThumbnailCache::ThumbnailCache(QString root) : root_(std::move(root)) {}

QString ThumbnailCache::DefaultRoot() {
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    // The desktop's rule: a relative value is as good as none.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/thumbnails");
}

QString ThumbnailCache::PathFor(const QString& file, ThumbSize size) const {
    return root_ +
           (size == ThumbSize::Large ? QStringLiteral("/large/") : QStringLiteral("/normal/")) +
           md5Name(FileUri(file));
}

QString ThumbnailCache::FailurePathFor(const QString& file) const {
    return root_ + QStringLiteral("/fail/folimo/") + md5Name(FileUri(file));
}

QImage ThumbnailCache::Get(const QString& file, ThumbSize size) {
    const FileState state = stateOf(file);
    if (!state.exists)
        return {};
    const QString cached = PathFor(file, size);
    QImage image;
    if (readIfFresh(cached, state, &image))
        return image;
    const QString failure = FailurePathFor(file);
    if (readIfFresh(failure, state, nullptr))
        return {};
    image = MakeThumbnail(file, int(size));
    const auto keys = keysFor(file, state);
    if (image.isNull()) {
        QImage blank(1, 1, QImage::Format_ARGB32);
        blank.fill(Qt::transparent);
        writeAtomically(failure, pngWithKeys(blank, keys));
        return {};
    }
    // A file that changed while it was read keeps its thumbnail out of the cache: the
    // keys would claim the new time for the old pixels.
    if (stateOf(file).mtime == state.mtime)
        writeAtomically(cached, pngWithKeys(image, keys));
    return image;
}

// ---------------------------------------------------------------------------------------

namespace {

QString memoryKey(const QString& path, std::int64_t mtime, int quarterTurns) {
    return path + QLatin1Char('\n') + QString::number(mtime) + QLatin1Char('\n') +
           QString::number(((quarterTurns % 4) + 4) % 4);
}

} // namespace

ThumbnailMemory::ThumbnailMemory(std::size_t budgetBytes) : budget_(budgetBytes) {}

QImage ThumbnailMemory::Find(const QString& path, std::int64_t mtime, int quarterTurns) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const QString key = memoryKey(path, mtime, quarterTurns);
    auto found = index_.find(key);
    if (found != index_.end()) {
        order_.splice(order_.begin(), order_, found->second);
        return found->second->image;
    }
    const auto unturned = index_.find(memoryKey(path, mtime, 0));
    if (unturned == index_.end())
        return {};
    order_.splice(order_.begin(), order_, unturned->second);
    const int turns = ((quarterTurns % 4) + 4) % 4;
    QImage turned = unturned->second->image.transformed(QTransform().rotate(90.0 * turns));
    insertLocked(key, turned);
    return turned;
}

void ThumbnailMemory::Insert(const QString& path, std::int64_t mtime, const QImage& unturned) {
    const std::lock_guard<std::mutex> lock(mutex_);
    insertLocked(memoryKey(path, mtime, 0), unturned);
}

void ThumbnailMemory::insertLocked(const QString& key, const QImage& image) {
    const auto old = index_.find(key);
    if (old != index_.end()) {
        bytes_ -= std::size_t(old->second->image.sizeInBytes());
        order_.erase(old->second);
        index_.erase(old);
    }
    order_.push_front(Entry{key, image});
    index_.emplace(key, order_.begin());
    bytes_ += std::size_t(image.sizeInBytes());
    // The newest stays even alone over the budget: the row asking for it shows it.
    while (bytes_ > budget_ && order_.size() > 1) {
        const Entry& last = order_.back();
        bytes_ -= std::size_t(last.image.sizeInBytes());
        index_.erase(last.key);
        order_.pop_back();
    }
}

std::size_t ThumbnailMemory::Bytes() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

std::size_t ThumbnailMemory::Count() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return order_.size();
}

} // namespace folimo::thumbs
