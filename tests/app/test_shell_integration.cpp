// The file managers' verb as they meet it: the two files in a temporary XDG_DATA_HOME,
// checked by desktop-file-validate, against KDE's service-menu keys and the shared MIME
// database, and launched by GLib as GNOME's file manager launches "Open With".
#include "ShellIntegration.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QMimeDatabase>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace folimo;
using namespace folimo::test;

// The value of `key` in the lines after `group`, or "?" when absent.
std::string keyValue(const std::string& text, const std::string& group, const std::string& key) {
    auto start = text.find(group + "\n");
    auto end = text.find("\n[", start + 1);
    auto at = text.find("\n" + key + "=", start);
    if (start == std::string::npos || at == std::string::npos || at > end)
        return "?";
    at += key.size() + 2;
    return text.substr(at, text.find('\n', at) - at);
}

class ShellIntegration : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_DATA_HOME", data.c_str(), 1); }

    TempDir dir;
    std::string data = dir.file("data");
    std::string entry = data + "/applications/velmar-folimo-makepdf.desktop";
    std::string menu = data + "/kio/servicemenus/velmar-folimo-makepdf.desktop";
    std::wstring program = wide(dir.file("Apps/folimo"));
};

TEST_F(ShellIntegration, RegisteringWritesEntriesThatFileManagersAccept) {
    EXPECT_EQ(IsContextMenuRegistered(program), 0);
    ASSERT_EQ(SetContextMenu(1, program), 1);
    const std::string app = readFile(entry), service = readFile(menu);
    const std::string exec = "\"" + dir.file("Apps/folimo") + "\" /makepdf %f";
    EXPECT_EQ(keyValue(app, "[Desktop Entry]", "Exec"), exec);
    EXPECT_EQ(keyValue(app, "[Desktop Entry]", "Name"), "使用VelmarFolimo");
    EXPECT_EQ(keyValue(app, "[Desktop Entry]", "Name[en]"), "Convert with VelmarFolimo");
    EXPECT_EQ(keyValue(app, "[Desktop Entry]", "NoDisplay"), "true");
    // KDE's service-menu format: a Service with MimeType and Actions, each action a
    // group with Name and Exec, in a file the user may execute.
    EXPECT_EQ(keyValue(service, "[Desktop Entry]", "Type"), "Service");
    EXPECT_EQ(keyValue(service, "[Desktop Entry]", "MimeType"),
              keyValue(app, "[Desktop Entry]", "MimeType"));
    EXPECT_EQ(keyValue(service, "[Desktop Entry]", "Actions"), "makepdf;");
    EXPECT_EQ(keyValue(service, "[Desktop Action makepdf]", "Name"), "使用VelmarFolimo");
    EXPECT_EQ(keyValue(service, "[Desktop Action makepdf]", "Name[en]"),
              "Convert with VelmarFolimo");
    EXPECT_EQ(keyValue(service, "[Desktop Action makepdf]", "Exec"), exec);
    EXPECT_EQ(::access(menu.c_str(), X_OK), 0);
    if (runCommand("desktop-file-validate --help").exitCode != 0)
        std::cout << "desktop-file-validate is missing: the entry is not validated\n";
    else
        EXPECT_EQ(runCommand("desktop-file-validate " + shellQuote(entry)).output, "");

    const struct {
        std::string asked;
        int registered;
    } cases[] = {{dir.file("Apps/folimo"), 1},
                 {dir.file("APPS/FOLIMO"), 1},
                 {dir.file("Other/folimo"), 0},
                 {dir.file("Apps/folimo2"), 0},
                 {"", 0 /* this test program */}};
    for (const auto& c : cases)
        EXPECT_EQ(IsContextMenuRegistered(wide(c.asked)), c.registered) << c.asked;
}

// Every type a file manager gives to what the engine accepts, as the shared MIME
// database names it, and folders; nothing for other files.
TEST_F(ShellIntegration, TheVerbIsOfferedForWhatTheEngineReads) {
    ASSERT_EQ(SetContextMenu(1, program), 1);
    const std::string types = ";" + keyValue(readFile(entry), "[Desktop Entry]", "MimeType");
    auto engine = createEngine();
    QMimeDatabase db;
    for (const char* name : {"a.jpg", "a.JPEG", "a.jpe",  "a.png",  "a.gif",  "a.bmp",  "a.dib",
                             "a.tif", "a.tiff", "a.webp", "a.heic", "a.heif", "a.avif", "a.ico",
                             "a.psd", "a.mng",  "a.raw",  "a.pdf",  "a.txt",  "a.cr2"}) {
        const QMimeType type = db.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
        const bool offered = types.find(";" + type.name().toStdString() + ";") != std::string::npos;
        EXPECT_EQ(offered, engine->IsSupportedFile(wide(name).c_str()) == 1)
            << name << " " << type.name().toStdString();
    }
    EXPECT_NE(types.find(";inode/directory;"), std::string::npos);
}

TEST_F(ShellIntegration, RemovingDeletesExactlyItsOwnFiles) {
    ASSERT_EQ(SetContextMenu(1, program), 1);
    writeFile(data + "/applications/other.desktop", "x");
    writeFile(data + "/kio/servicemenus/other.desktop", "y");
    ASSERT_EQ(SetContextMenu(0, program), 1);
    EXPECT_EQ(listDir(data + "/applications"), std::vector<std::string>{"other.desktop"});
    EXPECT_EQ(listDir(data + "/kio/servicemenus"), std::vector<std::string>{"other.desktop"});
    EXPECT_EQ(IsContextMenuRegistered(program), 0);
    EXPECT_EQ(SetContextMenu(0, program), 1); // nothing left to delete
}

// The clicked file reaches the program whole, whatever the program's own path holds.
TEST_F(ShellIntegration, ThePathsSurviveTheExecQuoting) {
    const bool haveGio = runCommand("gio help launch").exitCode == 0;
    if (!haveGio)
        std::cout << "gio is missing: the entries are not launched\n";
    const std::string clicked = dir.file("my 'photo' $x.png"), out = dir.file("args");
    // GLib looks for a program path holding '%' before it turns "%%" into '%', so it
    // cannot launch that one; KDE and the rules accept it.
    for (std::string folder : {"a b", "q\"uote", "d$l`b`", "back\\slash", "it's", "pct%s"}) {
        const std::string script = dir.file(folder) + "/fo limo";
        std::filesystem::create_directories(dir.file(folder));
        writeFile(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + shellQuote(out) + "\n");
        ::chmod(script.c_str(), 0755);
        ASSERT_EQ(SetContextMenu(1, wide(script)), 1) << folder;
        EXPECT_EQ(IsContextMenuRegistered(wide(script)), 1) << folder;
        if (runCommand("desktop-file-validate --help").exitCode == 0) {
            EXPECT_EQ(runCommand("desktop-file-validate " + shellQuote(entry)).output, "");
        }
        if (!haveGio || folder == "pct%s")
            continue;
        std::remove(out.c_str());
        CommandResult r = runCommand("gio launch " + shellQuote(entry) + " " + shellQuote(clicked));
        ASSERT_EQ(r.exitCode, 0) << folder << ": " << r.output;
        for (int i = 0; i < 100 && !fileExists(out); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(fileExists(out) ? readFile(out) : "", "/makepdf\n" + clicked + "\n") << folder;
    }
    for (const std::wstring& bad : {std::wstring(L"relative/folimo"), std::wstring(L"/a\nb"),
                                    L"/x" + std::wstring(1, 0xDC80)})
        EXPECT_EQ(SetContextMenu(1, bad), 0);
}

// A folder that cannot be written leaves an earlier registration as it was, byte for
// byte, and no file beside it.
TEST_F(ShellIntegration, UnwritableFoldersChangeNothing) {
    // Permissions do not bind root's capabilities: then this test runs again without any.
    if (::geteuid() == 0 && !std::getenv("FOLIMO_WITHOUT_CAPABILITIES")) {
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        CommandResult r = runCommand(
            "setpriv --inh-caps=-all --bounding-set=-all env FOLIMO_WITHOUT_CAPABILITIES=1 " +
            shellQuote(self) + " --gtest_filter=ShellIntegration.UnwritableFoldersChangeNothing");
        if (r.output.find("setpriv") != std::string::npos && r.exitCode != 0)
            GTEST_SKIP() << "running as root and cannot give up its privileges: " << r.output;
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find("[  PASSED  ] 1 test"), std::string::npos) << r.output;
        return;
    }
    const std::string applications = data + "/applications", menus = data + "/kio/servicemenus";
    for (const std::string& locked : {applications, menus, data + "/kio"}) {
        std::filesystem::remove_all(data);
        ASSERT_EQ(SetContextMenu(1, program), 1);
        const std::string app = readFile(entry), service = readFile(menu);
        if (locked == data + "/kio") { // a file in the way of a folder
            std::filesystem::remove_all(locked);
            writeFile(locked, "");
        }
        ::chmod(locked.c_str(), 0555);
        EXPECT_EQ(SetContextMenu(1, wide(dir.file("Moved/folimo"))), 0) << locked;
        if (locked != data + "/kio") {
            EXPECT_EQ(SetContextMenu(0, program), 0) << locked;
            EXPECT_EQ(readFile(entry) + readFile(menu), app + service) << locked;
            EXPECT_EQ(listDir(menus).size() + listDir(applications).size(), 2u) << locked;
        } else {
            EXPECT_EQ(readFile(entry), app);
            EXPECT_EQ(listDir(applications).size(), 1u);
        }
        ::chmod(locked.c_str(), 0755);
    }
}

} // namespace
