// The least work any converter must do to re-encode these images: decode each one and
// encode it again as JPEG, straight on libjpeg-turbo's TurboJPEG API (PNG through libpng),
// with nothing else around it. bench/floor.sh sets folimo-cli's times beside it.
//
//   bench_floor [-j JOBS] [-q QUALITY] [--accurate] [--rgb] -o OUT FILE...
//
// JPEG files decode to their own YCbCr planes when they are already 4:2:0 (or grey), and
// those planes are encoded as they are; other JPEGs and PNGs decode to RGB and are encoded
// at 4:2:0. With -j N the files are shared out between N processes by pixel count, largest
// first, and all run at once; each writes its JPEGs one after another to OUT.K (without
// -j, one process writes OUT). The sum of their peak resident sizes goes to standard error
// as "peak-rss-kb: N", because a timer reading the parent's rusage sees only the largest
// child.
#include <png.h>
#include <turbojpeg.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Options {
    int jobs = 1;
    int quality = 30;
    bool accurate = false;  // the fast integer transforms unless asked, as a converter
                            // at quality 30 would choose
    bool alwaysRgb = false; // force the RGB path even for 4:2:0 files
    std::string output;
    std::vector<std::string> files;
};

struct Totals {
    long files = 0;
    long failed = 0;
    double megapixels = 0;
    long long bytesIn = 0;
    long long bytesOut = 0;
};

using TjHandle = std::unique_ptr<void, int (*)(tjhandle)>;

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool isPng(const std::vector<unsigned char>& data) {
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    return data.size() >= 24 && std::memcmp(data.data(), signature, 8) == 0;
}

// Pixel count from the header alone, to share the files out; 0 when unreadable.
double pixelsOf(const std::string& path, tjhandle decoder) {
    const auto data = readFile(path);
    if (isPng(data)) {
        auto be32 = [&](size_t at) {
            return (uint32_t(data[at]) << 24) | (uint32_t(data[at + 1]) << 16) |
                   (uint32_t(data[at + 2]) << 8) | uint32_t(data[at + 3]);
        };
        return double(be32(16)) * be32(20);
    }
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    if (data.empty() || tjDecompressHeader3(decoder, data.data(), data.size(), &width, &height,
                                            &subsamp, &colorspace) != 0)
        return 0;
    return double(width) * height;
}

class Reencoder {
public:
    Reencoder(const Options& options, std::FILE* out)
        : options_(options), out_(out), decoder_(tjInitDecompress(), tjDestroy),
          encoder_(tjInitCompress(), tjDestroy) {}

    bool run(const std::string& path, Totals& totals) {
        const auto data = readFile(path);
        totals.bytesIn += long(data.size());
        error_ = "cannot read the file, or it is empty";
        const bool ok = !data.empty() && (isPng(data) ? png(data, totals) : jpeg(data, totals));
        if (!ok)
            std::fprintf(stderr, "bench_floor: %s: %s\n", path.c_str(), error_.c_str());
        return ok;
    }

private:
    int flags() const { return options_.accurate ? 0 : TJFLAG_FASTDCT; }

    bool fail(tjhandle handle) {
        error_ = tjGetErrorStr2(handle);
        return false;
    }

    bool jpeg(const std::vector<unsigned char>& data, Totals& totals) {
        int width = 0, height = 0, subsamp = 0, colorspace = 0;
        if (tjDecompressHeader3(decoder_.get(), data.data(), data.size(), &width, &height, &subsamp,
                                &colorspace) != 0)
            return fail(decoder_.get());
        totals.megapixels += double(width) * height / 1e6;
        const bool planar = !options_.alwaysRgb && colorspace != TJCS_CMYK &&
                            colorspace != TJCS_YCCK &&
                            (subsamp == TJSAMP_420 || subsamp == TJSAMP_GRAY);
        if (planar)
            return jpegPlanes(data, width, height, subsamp, totals);
        // CMYK stays CMYK (TurboJPEG converts it to nothing else); all else goes via RGB.
        const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
        const int format = cmyk ? TJPF_CMYK : TJPF_RGB;
        pixels_.resize(size_t(width) * height * tjPixelSize[format]);
        if (tjDecompress2(decoder_.get(), data.data(), data.size(), pixels_.data(), width, 0,
                          height, format, flags()) != 0)
            return fail(decoder_.get());
        return encodePixels(width, height, format, totals);
    }

    bool jpegPlanes(const std::vector<unsigned char>& data, int width, int height, int subsamp,
                    Totals& totals) {
        const int count = subsamp == TJSAMP_GRAY ? 1 : 3;
        unsigned char* planes[3] = {};
        int strides[3] = {};
        size_t offsets[3] = {};
        size_t total = 0;
        for (int i = 0; i < count; ++i) {
            offsets[i] = total;
            strides[i] = tjPlaneWidth(i, width, subsamp);
            total += tjPlaneSizeYUV(i, width, 0, height, subsamp);
        }
        pixels_.resize(total);
        for (int i = 0; i < count; ++i)
            planes[i] = pixels_.data() + offsets[i];
        if (tjDecompressToYUVPlanes(decoder_.get(), data.data(), data.size(), planes, width,
                                    strides, height, flags()) != 0)
            return fail(decoder_.get());
        unsigned char* jpegBuf = nullptr;
        unsigned long jpegSize = 0;
        const unsigned char* source[3] = {planes[0], planes[1], planes[2]};
        if (tjCompressFromYUVPlanes(encoder_.get(), source, width, strides, height, subsamp,
                                    &jpegBuf, &jpegSize, options_.quality, flags()) != 0)
            return fail(encoder_.get());
        return write(jpegBuf, jpegSize, totals);
    }

    bool png(const std::vector<unsigned char>& data, Totals& totals) {
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) {
            error_ = image.message;
            return false;
        }
        image.format = PNG_FORMAT_RGB;
        totals.megapixels += double(image.width) * image.height / 1e6;
        pixels_.resize(PNG_IMAGE_SIZE(image));
        const png_color white = {255, 255, 255}; // any alpha goes onto white, as on paper
        if (!png_image_finish_read(&image, &white, pixels_.data(), 0, nullptr)) {
            error_ = image.message;
            png_image_free(&image);
            return false;
        }
        return encodePixels(int(image.width), int(image.height), TJPF_RGB, totals);
    }

    bool encodePixels(int width, int height, int format, Totals& totals) {
        unsigned char* jpegBuf = nullptr;
        unsigned long jpegSize = 0;
        if (tjCompress2(encoder_.get(), pixels_.data(), width, 0, height, format, &jpegBuf,
                        &jpegSize, TJSAMP_420, options_.quality, flags()) != 0)
            return fail(encoder_.get());
        return write(jpegBuf, jpegSize, totals);
    }

    bool write(unsigned char* jpegBuf, unsigned long size, Totals& totals) {
        const bool ok = std::fwrite(jpegBuf, 1, size, out_) == size;
        tjFree(jpegBuf);
        totals.bytesOut += long(size);
        if (!ok)
            error_ = "cannot write the output";
        return ok;
    }

    const Options& options_;
    std::FILE* out_;
    TjHandle decoder_;
    TjHandle encoder_;
    std::vector<unsigned char> pixels_; // kept between images, as a converter's buffer is
    std::string error_;
};

// Longest processing time first: each file, largest first, to the share with fewest pixels.
std::vector<std::vector<std::string>> shareOut(const std::vector<std::string>& files, int jobs) {
    TjHandle decoder(tjInitDecompress(), tjDestroy);
    std::vector<std::pair<double, size_t>> sized;
    for (size_t i = 0; i < files.size(); ++i)
        sized.emplace_back(pixelsOf(files[i], decoder.get()), i);
    std::stable_sort(sized.begin(), sized.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::vector<std::string>> shares(static_cast<size_t>(jobs));
    std::vector<double> load(static_cast<size_t>(jobs), 0.0);
    for (const auto& [pixels, index] : sized) {
        const auto least = size_t(std::min_element(load.begin(), load.end()) - load.begin());
        load[least] += pixels;
        shares[least].push_back(files[index]);
    }
    return shares;
}

int convert(const Options& options, const std::vector<std::string>& files,
            const std::string& output) {
    std::FILE* out = std::fopen(output.c_str(), "wb");
    if (!out) {
        std::perror(output.c_str());
        return 1;
    }
    Totals totals;
    Reencoder reencoder(options, out);
    for (const auto& file : files) {
        ++totals.files;
        if (!reencoder.run(file, totals))
            ++totals.failed;
    }
    const bool closed = std::fclose(out) == 0;
    std::printf("%ld files, %.1f MP, %.1f MB in, %.1f MB out%s\n", totals.files, totals.megapixels,
                double(totals.bytesIn) / 1e6, double(totals.bytesOut) / 1e6,
                totals.failed ? ", some failed" : "");
    return totals.failed || !closed ? 1 : 0;
}

int runShares(const Options& options) {
    const auto shares = shareOut(options.files, options.jobs);
    std::fflush(stdout);
    std::vector<pid_t> children;
    for (size_t k = 0; k < shares.size(); ++k) {
        const pid_t pid = fork();
        if (pid < 0) {
            std::perror("fork");
            return 1;
        }
        if (pid == 0) {
            const int result =
                convert(options, shares[k], options.output + "." + std::to_string(k));
            std::fflush(stdout); // _exit skips stdio's flush
            _exit(result);
        }
        children.push_back(pid);
    }
    int result = 0;
    long rssSum = 0;
    for (const pid_t pid : children) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status))
            result = 1;
        rssSum += usage.ru_maxrss;
    }
    std::fprintf(stderr, "peak-rss-kb: %ld\n", rssSum);
    return result;
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_floor [-j JOBS] [-q QUALITY] [--accurate] [--rgb] -o OUT FILE...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-j" && hasValue)
            options.jobs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "-q" && hasValue)
            options.quality = std::clamp(std::atoi(argv[++i]), 1, 100);
        else if (arg == "-o" && hasValue)
            options.output = argv[++i];
        else if (arg == "--accurate")
            options.accurate = true;
        else if (arg == "--rgb")
            options.alwaysRgb = true;
        else if (!arg.empty() && arg[0] == '-')
            return usage();
        else
            options.files.push_back(arg);
    }
    if (options.output.empty() || options.files.empty())
        return usage();
    if (options.jobs == 1) {
        const int result = convert(options, options.files, options.output);
        rusage self{};
        getrusage(RUSAGE_SELF, &self);
        std::fprintf(stderr, "peak-rss-kb: %ld\n", self.ru_maxrss);
        return result;
    }
    return runShares(options);
}
