#include "JpegMarkers.h"

#include "DecodeSupport.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace folimo::imaging {

namespace {

void readJfif(std::span<const std::uint8_t> p, JpegMarkers& m) {
    if (p.size() < 12 || std::memcmp(p.data(), "JFIF\0", 5) != 0)
        return;
    unsigned unit = p[7];
    double x = support::loadBe16(p.data() + 8), y = support::loadBe16(p.data() + 10);
    // Unit 0 gives only the pixels' shape, not their size.
    if (unit == 1) {
        m.dpiX = x;
        m.dpiY = y;
    } else if (unit == 2) {
        m.dpiX = support::dpiFromPixelsPerCentimetre(x);
        m.dpiY = support::dpiFromPixelsPerCentimetre(y);
    }
}

void readExifResolution(std::span<const std::uint8_t> p, double& dpiX, double& dpiY,
                        int& orientation) {
    if (p.size() < 14 || std::memcmp(p.data(), "Exif\0\0", 6) != 0)
        return;
    double x = 0, y = 0, unit = 2;
    for (const support::TiffField& f : support::readFirstTiffDirectory(p.subspan(6))) {
        if (f.tag == 0x0112 && f.value >= 1 && f.value <= 8)
            orientation = static_cast<int>(f.value);
        else if (f.tag == 0x011A)
            x = f.value;
        else if (f.tag == 0x011B)
            y = f.value;
        else if (f.tag == 0x0128)
            unit = f.value;
    }
    if (x <= 0 || y <= 0)
        return;
    if (unit == 2) {
        dpiX = x;
        dpiY = y;
    } else if (unit == 3) {
        dpiX = support::dpiFromPixelsPerCentimetre(x);
        dpiY = support::dpiFromPixelsPerCentimetre(y);
    }
}

// Each component's 8 x 8 blocks over the whole picture, padded to whole MCUs, at 64
// coefficients of 2 bytes.
std::uint64_t coefficientBytes(std::span<const std::uint8_t> frame, int width, int height) {
    const std::size_t components = frame[5];
    if (components == 0 || frame.size() < 6 + 3 * components)
        return 0;
    unsigned hMax = 1, vMax = 1;
    for (std::size_t c = 0; c < components; ++c) {
        hMax = std::max(hMax, unsigned(frame[7 + 3 * c] >> 4));
        vMax = std::max(vMax, unsigned(frame[7 + 3 * c] & 15));
    }
    const std::uint64_t mcuColumns = (std::uint64_t(width) + 8 * hMax - 1) / (8 * hMax);
    const std::uint64_t mcuRows = (std::uint64_t(height) + 8 * vMax - 1) / (8 * vMax);
    std::uint64_t blocks = 0;
    for (std::size_t c = 0; c < components; ++c)
        blocks += mcuColumns * (frame[7 + 3 * c] >> 4) * mcuRows * (frame[7 + 3 * c] & 15);
    return blocks * 128;
}

} // namespace

JpegMarkers readJpegMarkers(std::span<const std::uint8_t> bytes) {
    JpegMarkers m;
    std::map<unsigned, std::span<const std::uint8_t>> iccChunks;
    unsigned iccCount = 0;
    bool iccBroken = false;
    double exifX = 0, exifY = 0;
    std::size_t pos = 2;
    while (pos + 4 <= bytes.size()) {
        if (bytes[pos] != 0xFF)
            break;
        unsigned marker = bytes[pos + 1];
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        std::size_t length = support::loadBe16(bytes.data() + pos + 2);
        if (length < 2 || pos + 2 + length > bytes.size())
            break;
        auto payload = bytes.subspan(pos + 4, length - 2);
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && payload.size() >= 6) {
            m.height = support::loadBe16(payload.data() + 1);
            m.width = support::loadBe16(payload.data() + 3);
            m.progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
            m.coefficientBytes = coefficientBytes(payload, m.width, m.height);
        } else if (marker == 0xE0) {
            readJfif(payload, m);
        } else if (marker == 0xE1) {
            readExifResolution(payload, exifX, exifY, m.orientation);
        } else if (marker == 0xE2 && payload.size() >= 14 &&
                   std::memcmp(payload.data(), "ICC_PROFILE\0", 12) == 0) {
            unsigned seq = payload[12], count = payload[13];
            if (seq == 0 || seq > count || (iccCount != 0 && count != iccCount) ||
                iccChunks.count(seq))
                iccBroken = true;
            iccCount = count;
            iccChunks[seq] = payload.subspan(14);
        } else if (marker == 0xEE && payload.size() >= 12 &&
                   std::memcmp(payload.data(), "Adobe", 5) == 0) {
            m.adobe = true;
        }
        pos += 2 + length;
    }
    if (m.dpiX <= 0 || m.dpiY <= 0) {
        m.dpiX = exifX;
        m.dpiY = exifY;
    }
    // A profile with a chunk missing would describe the colours wrongly; none is better.
    if (!iccBroken && iccCount != 0 && iccChunks.size() == iccCount)
        for (auto& [seq, chunk] : iccChunks)
            m.iccProfile.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    return m;
}

} // namespace folimo::imaging
