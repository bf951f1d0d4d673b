// What a JPEG file says in its marker segments before the first scan, which the
// codec libraries do not report: JFIF and EXIF resolution, EXIF orientation, the ICC
// profile (joined from its chunks), whether Adobe's segment is there, and the size the
// frame header gives.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace folimo::imaging {

struct JpegMarkers {
    double dpiX = 0;
    double dpiY = 0;
    int orientation = 1; // EXIF: how the stored picture is turned or mirrored
    bool adobe = false;
    std::string iccProfile;
    int width = 0; // from the frame header; 0 when there is none before the first scan
    int height = 0;
    bool progressive = false;
    // What libjpeg holds when it keeps every DCT coefficient of the picture at once (a
    // progressive file, or a transcode that keeps the coefficients).
    std::uint64_t coefficientBytes = 0;
};

// Walks the segments up to the first scan. A file cut short or malformed here is left
// to the decoder to report; this only gathers what it can.
JpegMarkers readJpegMarkers(std::span<const std::uint8_t> bytes);

} // namespace folimo::imaging
