// What OpenMP does to recognisers that run side by side: N threads, each with its own
// Tesseract instance set up as the engine's recogniser is (LSTM, automatic page
// segmentation, no inverted second reading, the page's resolution), recognise the same
// page at once. Model loading is left out of the figures.
//
//   bench_ocr_threads [-t THREADS] [-p PAGES] [--serial] PAGE
//
// --serial makes each thread's OpenMP regions run on that thread alone, as the engine
// does; without it Tesseract starts its own teams. OMP_THREAD_LIMIT in the environment
// caps the teams for the whole process. Prints the wall time per page (from the start
// to the last thread's end, divided by the pages each thread did) and the process's CPU
// time per page, summed over every thread, OpenMP's own included.
#include <leptonica/allheaders.h>
#include <omp.h>
#include <tesseract/baseapi.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    int threads = 1;
    int pages = 1;
    bool serial = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-t") == 0 && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "-p") == 0 && i + 1 < argc)
            pages = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--serial") == 0)
            serial = true;
        else
            file = argv[i];
    }
    if (file == nullptr || threads < 1 || pages < 1) {
        std::fprintf(stderr, "usage: bench_ocr_threads [-t THREADS] [-p PAGES] [--serial] PAGE\n");
        return 2;
    }
    Pix* page = pixRead(file);
    if (page == nullptr) {
        std::fprintf(stderr, "cannot read %s\n", file);
        return 1;
    }

    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<int> words{0};
    std::vector<std::thread> workers;
    workers.reserve(std::size_t(threads));
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            auto api = std::make_unique<tesseract::TessBaseAPI>();
            if (api->Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY) != 0)
                std::abort();
            api->SetPageSegMode(tesseract::PSM_AUTO);
            api->SetVariable("tessedit_do_invert", "0");
            if (serial)
                omp_set_max_active_levels(0);
            ++ready;
            while (!go)
                std::this_thread::yield();
            for (int p = 0; p < pages; ++p) {
                api->SetImage(page);
                if (pixGetXRes(page) > 0)
                    api->SetSourceResolution(pixGetXRes(page));
                std::unique_ptr<char[]> text(api->GetUTF8Text());
                int count = 0;
                for (const char* c = text.get(); *c != '\0'; ++c)
                    count += (*c == ' ' || *c == '\n') && c[1] != ' ' && c[1] != '\n';
                words += count;
            }
            api->End();
        });
    }
    while (ready < threads)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    go = true;
    for (auto& w : workers)
        w.join();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = cpuSeconds() - cpu0;
    std::printf("threads %d serial %d pages/thread %d: wall %.2f s/page-round, cpu %.2f s/page, "
                "words/page %d\n",
                threads, serial ? 1 : 0, pages, wall / pages, cpu / (threads * pages),
                words.load() / (threads * pages));
    pixDestroy(&page);
    return 0;
}
