// Inputs the fuzzers once found trouble with: each must now fail cleanly.
#include "TestSupport.h"

#include "imaging/Codecs.h"
#include "pdf/ImagePlan.h"

#include <gtest/gtest.h>

#include <filesystem>

// A leak inside libheif's dav1d plugin, which one of the inputs provokes; see
// fuzz/FuzzDecode.cpp.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdav1d.so\n";
}

namespace {

TEST(FuzzRegressions, EveryFoundInputFailsCleanly) {
    std::string folder = std::string(FOLIMO_SOURCE_DIR) + "/fuzz/regressions";
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string bytes = folimo::test::readFile(entry.path().string());
        std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                           bytes.size());
        folimo::imaging::Limits limits;
        limits.maxPixels = 20'000'000;
        limits.maxBytes = 200'000'000;
        EXPECT_THROW(folimo::imaging::decode(data, limits), folimo::imaging::ImagingError)
            << entry.path();
        try {
            folimo::pdf::planImage(data);
        } catch (const folimo::pdf::ImageError&) {
        }
        // The transcoder's inputs begin with a byte of settings (see the fuzz target).
        if (!data.empty()) {
            folimo::imaging::JpegTranscode job;
            job.quality = 1 + data[0] % 100;
            job.grey = data[0] & 0x80;
            folimo::imaging::transcodeJpeg(data.subspan(1), job);
        }
        ++count;
    }
    EXPECT_GT(count, 0);
}

} // namespace
