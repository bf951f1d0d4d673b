// JPEG to JPEG without a bitmap on arbitrary bytes: it must give a file or nothing,
// never crash, hang or allocate without bound; nor may the estimate of its memory. The first byte
// picks the quality (both sides of the sampling change) and whether the colour is dropped.
#include "imaging/Codecs.h"
#include "imaging/JpegMarkers.h"

#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    folimo::imaging::JpegTranscode job;
    job.quality = 1 + data[0] % 100;
    job.grey = data[0] & 0x80;
    std::span<const std::uint8_t> bytes(data + 1, size - 1);
    folimo::imaging::readJpegMarkers(bytes);
    folimo::imaging::transcodePeakBytes(bytes, job);
    folimo::imaging::transcodeJpeg(bytes, job);
    return 0;
}
