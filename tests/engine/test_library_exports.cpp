// The shared library as callers see it: one exported symbol of ours, and objects
// that work through it alone.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <dlfcn.h>
#include <sstream>

namespace {

TEST(SharedLibrary, ExportsOnlyCreateObject) {
    auto r = folimo::test::runCommand("nm -D --defined-only " +
                                      folimo::test::shellQuote(FOLIMO_ENGINE_LIBRARY));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::istringstream in(r.output);
    std::string line;
    std::vector<std::string> symbols;
    while (std::getline(in, line)) {
        auto space = line.find_last_of(' ');
        std::string name = line.substr(space + 1);
        // The dynamic linker's own markers are not symbols of ours, and a lower-case type
        // is a local symbol the version script kept in the table but nobody can bind to
        // (OpenMP's runtime, linked for the recogniser, leaves a few there).
        const auto type = line.find(' ') + 1;
        if (type >= line.size() || line[type] == 'A' ||
            std::islower(static_cast<unsigned char>(line[type])))
            continue;
        symbols.push_back(name);
    }
    EXPECT_EQ(symbols, std::vector<std::string>{"CreateObject"}) << r.output;
}

TEST(SharedLibrary, FactoryWorksThroughDlopen) {
    void* lib = ::dlopen(FOLIMO_ENGINE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << ::dlerror();
    using Factory = int (*)(int, void**);
    auto factory = reinterpret_cast<Factory>(::dlsym(lib, "CreateObject"));
    ASSERT_NE(factory, nullptr);
    void* out = nullptr;
    EXPECT_EQ(factory(FOLIMO_SETTINGS, &out), 1);
    ASSERT_NE(out, nullptr);
    auto* settings = static_cast<IFolimoSettings*>(out);
    settings->SetJpegQuality(77);
    EXPECT_EQ(settings->GetJpegQuality(), 77);
    settings->Release();
    ::dlclose(lib);
}

} // namespace
