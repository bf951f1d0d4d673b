// The file managers' verb as they meet it: the entries in a temporary XDG_DATA_HOME and
// XDG_CONFIG_HOME, checked by each format's validator (desktop-file-validate, xmllint),
// against the keys the file managers read and the shared MIME database, and started as
// the file managers start them.
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

// What a validator says of a file: empty when it is content (or the tool is missing).
std::string validatorSays(const std::string& tool, const std::string& path) {
    const std::string name = tool.substr(0, tool.find(' '));
    if (runCommand("command -v " + name).exitCode != 0) {
        std::cout << name << " is missing: " << path << " is not validated\n";
        return "";
    }
    CommandResult r = runCommand(tool + " " + shellQuote(path));
    return r.exitCode == 0 ? r.output : "exit " + std::to_string(r.exitCode) + ": " + r.output;
}

class ShellIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", data.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    }

    std::string script() const {
        const std::string folder = data + "/nautilus/scripts";
        const auto names = fileExists(folder) ? listDir(folder) : std::vector<std::string>{};
        return names.size() == 1 ? folder + "/" + names.front() : "";
    }

    TempDir dir;
    std::string data = dir.file("data");
    std::string config = dir.file("config");
    std::string oldEntry = data + "/applications/velmar-folimo-makepdf.desktop";
    std::string menu = data + "/kio/servicemenus/velmar-folimo-makepdf.desktop";
    std::string nemo = data + "/nemo/actions/velmar-folimo-makepdf.nemo_action";
    std::string thunar = config + "/Thunar/uca.xml";
    std::wstring program = wide(dir.file("Apps/folimo"));
};

TEST_F(ShellIntegration, RegisteringWritesEntriesThatFileManagersAccept) {
    EXPECT_EQ(IsContextMenuRegistered(program), 0);
    ASSERT_EQ(SetContextMenu(1, program), 1);
    const std::string service = readFile(menu), action = readFile(nemo);
    const std::string path = dir.file("Apps/folimo");
    const std::string exec = "\"" + path + "\" /makepdf %f";
    // KDE's service-menu format: MimeType and Actions, each action a group with Name and
    // Exec, in a file the user may execute; an Application entry that the validator
    // accepts, outside applications/.
    EXPECT_EQ(keyValue(service, "[Desktop Entry]", "Type"), "Application");
    EXPECT_EQ(keyValue(service, "[Desktop Entry]", "NoDisplay"), "true");
    EXPECT_EQ(keyValue(service, "[Desktop Entry]", "Actions"), "makepdf;");
    EXPECT_EQ(keyValue(service, "[Desktop Entry]", "Icon"), "velmar-folimo");
    EXPECT_EQ(keyValue(service, "[Desktop Action makepdf]", "Name"), "Convert with VelmarFolimo");
    EXPECT_EQ(keyValue(service, "[Desktop Action makepdf]", "Name[zh]"), "使用VelmarFolimo");
    EXPECT_EQ(keyValue(service, "[Desktop Action makepdf]", "Exec"), exec);
    EXPECT_EQ(::access(menu.c_str(), X_OK), 0);
    EXPECT_EQ(validatorSays("desktop-file-validate", menu), "");
    // Nemo's actions: one selected file or folder.
    EXPECT_EQ(keyValue(action, "[Nemo Action]", "Exec"), "\"" + path + "\" /makepdf %F");
    EXPECT_EQ(keyValue(action, "[Nemo Action]", "Selection"), "s");
    EXPECT_EQ(keyValue(action, "[Nemo Action]", "EscapeSpaces"), "true");
    EXPECT_EQ(keyValue(action, "[Nemo Action]", "Icon-Name"), "velmar-folimo");
    EXPECT_EQ(keyValue(action, "[Nemo Action]", "Name[zh]"), "使用VelmarFolimo");
    // GNOME Files' script and Thunar's action.
    ASSERT_NE(script(), "");
    EXPECT_EQ(::access(script().c_str(), X_OK), 0);
    EXPECT_EQ(validatorSays("sh -n", script()), "");
    EXPECT_EQ(validatorSays("xmllint --noout", thunar), "");
    const std::string uca = readFile(thunar);
    EXPECT_NE(uca.find("<unique-id>velmar-folimo-makepdf</unique-id>"), std::string::npos);
    EXPECT_NE(uca.find("<command>'" + path + "' /makepdf %f</command>"), std::string::npos);
    EXPECT_NE(uca.find("<icon>velmar-folimo</icon>"), std::string::npos);
    // No entry makes the program a handler of file types.
    EXPECT_FALSE(fileExists(data + "/applications"));

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
    // Each entry counts: one missing is no verb for that file manager.
    for (const std::string& entry : {menu, nemo, script(), thunar}) {
        const std::string kept = readFile(entry);
        std::filesystem::remove(entry);
        EXPECT_EQ(IsContextMenuRegistered(program), 0) << entry;
        writeFile(entry, kept);
    }
    EXPECT_EQ(IsContextMenuRegistered(program), 1);
}

// The caption the desktop's language gives to the names that have no translations of
// their own: the script's file name and Thunar's action.
TEST_F(ShellIntegration, CaptionsSpeakTheDesktopsLanguage) {
    if (const char* expected = std::getenv("FOLIMO_EXPECT_CAPTION")) {
        ASSERT_EQ(SetContextMenu(1, program), 1);
        EXPECT_EQ(script(), data + "/nautilus/scripts/" + expected);
        EXPECT_NE(readFile(thunar).find("<name>" + std::string(expected) + "</name>"),
                  std::string::npos);
        return;
    }
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    for (const auto& [language, caption] :
         {std::pair<std::string, std::string>{"zh_CN.UTF-8", "使用VelmarFolimo"},
          {"zh_TW.UTF-8", "使用VelmarFolimo"},
          {"de_DE.UTF-8", "Convert with VelmarFolimo"},
          {"C", "Convert with VelmarFolimo"}}) {
        CommandResult r =
            runCommand("env LC_ALL=" + language + " LANG=" + language +
                       " FOLIMO_EXPECT_CAPTION=" + shellQuote(caption) + " " + shellQuote(self) +
                       " --gtest_filter=ShellIntegration.CaptionsSpeakTheDesktopsLanguage");
        EXPECT_NE(r.output.find("[  PASSED  ] 1 test"), std::string::npos) << language << r.output;
    }
}

// Earlier versions wrote a hidden application entry for the image types, which GIO made
// the default application of those types: it goes when the verb is switched on or off.
TEST_F(ShellIntegration, TheOldTypeHandlerGoes) {
    for (int enable : {1, 0}) {
        std::filesystem::create_directories(data + "/applications");
        writeFile(oldEntry, "[Desktop Entry]\nType=Application\nName=x\nExec=x /makepdf %f\n"
                            "MimeType=image/jpeg;\nNoDisplay=true\n");
        writeFile(data + "/applications/mine.desktop", "mine");
        ASSERT_EQ(SetContextMenu(enable, program), 1) << enable;
        EXPECT_EQ(listDir(data + "/applications"), std::vector<std::string>{"mine.desktop"});
    }
}

// Thunar keeps every action in one file: the user's stay as they were, byte for byte,
// and ours is there once however often the verb is switched on.
TEST_F(ShellIntegration, ThunarKeepsTheUsersActions) {
    const std::string users =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- mine -->\n<actions>\n"
        "<action>\n\t<icon>utilities-terminal</icon>\n\t<name>Open Terminal Here</name>\n"
        "\t<unique-id>1-1</unique-id>\n\t<command>exo-open --launch TerminalEmulator "
        "&apos;%f&apos; &amp;&amp; true</command>\n\t<patterns>*</patterns>\n\t<directories/>\n"
        "</action>\n<action><name>Zwei</name><unique-id>2-2</unique-id><command>b %F</command>"
        "<patterns>*.txt</patterns><text-files/></action>\n</actions>\n";
    std::filesystem::create_directories(config + "/Thunar");
    writeFile(thunar, users);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(SetContextMenu(1, program), 1);
        const std::string merged = readFile(thunar);
        EXPECT_EQ(validatorSays("xmllint --noout", thunar), "");
        std::size_t ours = 0;
        for (auto at = merged.find("velmar-folimo-makepdf"); at != std::string::npos;
             at = merged.find("velmar-folimo-makepdf", at + 1))
            ++ours;
        EXPECT_EQ(ours, 1u);
        const std::string mineOnly = users.substr(0, users.rfind("</actions>"));
        EXPECT_EQ(merged.substr(0, mineOnly.size()), mineOnly);
        EXPECT_EQ(IsContextMenuRegistered(program), 1);
    }
    ASSERT_EQ(SetContextMenu(0, program), 1);
    EXPECT_EQ(readFile(thunar), users);

    // A file that is no list of actions is not replaced by one, nor does it keep the
    // other entries from going.
    for (const std::string& broken :
         {std::string("<actions><action>"), std::string("junk"), std::string("<other/>")}) {
        writeFile(thunar, broken);
        EXPECT_EQ(SetContextMenu(1, program), 0) << broken;
        EXPECT_EQ(readFile(thunar), broken);
        EXPECT_FALSE(fileExists(menu)) << broken;
        std::filesystem::remove(thunar);
        ASSERT_EQ(SetContextMenu(1, program), 1);
        writeFile(thunar, broken);
        EXPECT_EQ(SetContextMenu(0, program), 1) << broken;
        EXPECT_EQ(readFile(thunar), broken);
        EXPECT_FALSE(fileExists(menu)) << broken;
    }
}

// Every type a file manager gives to what the engine accepts, as the shared MIME
// database names it, and folders; nothing for other files.
TEST_F(ShellIntegration, TheVerbIsOfferedForWhatTheEngineReads) {
    ASSERT_EQ(SetContextMenu(1, program), 1);
    const std::string types = ";" + keyValue(readFile(menu), "[Desktop Entry]", "MimeType");
    EXPECT_EQ(";" + keyValue(readFile(nemo), "[Nemo Action]", "Mimetypes"), types);
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
    const std::vector<std::string> folders = {data + "/applications", data + "/kio/servicemenus",
                                              data + "/nemo/actions", data + "/nautilus/scripts"};
    std::filesystem::create_directories(folders.front());
    for (const std::string& folder : folders)
        writeFile(folder + "/other", "x");
    ASSERT_EQ(SetContextMenu(0, program), 1);
    for (const std::string& folder : folders)
        EXPECT_EQ(listDir(folder), std::vector<std::string>{"other"}) << folder;
    EXPECT_EQ(readFile(thunar).find("velmar"), std::string::npos);
    EXPECT_EQ(validatorSays("xmllint --noout", thunar), "");
    EXPECT_EQ(IsContextMenuRegistered(program), 0);
    EXPECT_EQ(SetContextMenu(0, program), 1); // nothing left to delete
}

// The clicked file reaches the program whole, whatever the program's own path holds,
// from every entry, started as its file manager starts it.
TEST_F(ShellIntegration, ThePathsSurviveTheExecQuoting) {
    const bool haveGio = runCommand("gio help launch").exitCode == 0;
    if (!haveGio)
        std::cout << "gio is missing: the service menu is not launched\n";
    const std::string clicked = dir.file("my 'photo' $x.png"), out = dir.file("args");
    const auto startedWith = [&](const std::string& commandLine) {
        std::remove(out.c_str());
        CommandResult r = runCommand(commandLine);
        for (int i = 0; i < 100 && !fileExists(out); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return fileExists(out) ? readFile(out) : "exit " + std::to_string(r.exitCode) + r.output;
    };
    // Thunar and Nemo put the clicked path, quoted, in place of the file code, then split
    // the line as the shell would.
    const auto substituted = [&](std::string command, const std::string& code) {
        return command.replace(command.find(code), code.size(), shellQuote(clicked));
    };
    for (std::string folder : {"a b", "q\"uote", "d$l`b`", "back\\slash", "it's", "pct%s"}) {
        SCOPED_TRACE(folder);
        const std::string program = dir.file(folder) + "/fo limo";
        std::filesystem::create_directories(dir.file(folder));
        writeFile(program, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + shellQuote(out) + "\n");
        ::chmod(program.c_str(), 0755);
        ASSERT_EQ(SetContextMenu(1, wide(program)), 1);
        EXPECT_EQ(IsContextMenuRegistered(wide(program)), 1);
        EXPECT_EQ(validatorSays("desktop-file-validate", menu), "");
        EXPECT_EQ(validatorSays("xmllint --noout", thunar), "");
        const std::string expected = "/makepdf\n" + clicked + "\n";
        // GNOME Files starts the script in the clicked file's folder with its name.
        EXPECT_EQ(startedWith("cd " + shellQuote(dir.path()) + " && " + shellQuote(script()) + " " +
                              shellQuote("my 'photo' $x.png")),
                  "/makepdf\nmy 'photo' $x.png\n");
        if (folder != "pct%s") {
            std::string command = readFile(thunar);
            const auto at = command.find("<command>") + 9;
            command = command.substr(at, command.find("</command>") - at);
            for (const auto& [entity, c] : {std::pair<std::string, std::string>{"&quot;", "\""},
                                            {"&#39;", "'"},
                                            {"&amp;", "&"}})
                for (auto p = command.find(entity); p != std::string::npos;
                     p = command.find(entity))
                    command.replace(p, entity.size(), c);
            EXPECT_EQ(startedWith(substituted(command, "%f")), expected);
        }
        // Nemo: the Exec string as the key file gives it, the path with quotes, tabs,
        // backslashes and spaces escaped by a backslash ('$' and '`' too here, which only
        // the shell that stands in for GLib's parser would expand).
        if (folder != "pct%s") {
            std::string exec = keyValue(readFile(nemo), "[Nemo Action]", "Exec"), escaped;
            for (auto p = exec.find("\\\\"); p != std::string::npos; p = exec.find("\\\\", p + 1))
                exec.erase(p, 1);
            for (char c : clicked) {
                if (std::string("'\"\t\\ $`").find(c) != std::string::npos)
                    escaped += '\\';
                escaped += c;
            }
            exec.replace(exec.find("%F"), 2, escaped);
            EXPECT_EQ(startedWith(exec), expected);
        }
        // GLib looks for a program path holding '%' before it turns "%%" into '%', so it
        // cannot launch that one; KDE and the rules accept it.
        if (haveGio && folder != "pct%s") {
            EXPECT_EQ(startedWith("gio launch " + shellQuote(menu) + " " + shellQuote(clicked)),
                      expected);
        }
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
    const std::string menus = data + "/kio/servicemenus", kio = data + "/kio";
    const std::string lockedFolders[] = {
        menus, data + "/nemo/actions", data + "/nautilus/scripts", config + "/Thunar",
        kio,   data + "/applications"};
    for (const std::string& locked : lockedFolders) {
        SCOPED_TRACE(locked);
        std::filesystem::remove_all(data);
        std::filesystem::remove_all(config);
        ASSERT_EQ(SetContextMenu(1, program), 1);
        if (locked == data + "/applications") { // an old entry that cannot be removed
            std::filesystem::create_directories(locked);
            writeFile(oldEntry, "[Desktop Entry]\n");
        }
        // The service menu goes with its folder when a file takes the folder's place.
        std::vector<std::string> entries = {nemo, script(), thunar};
        if (locked != kio)
            entries.push_back(menu);
        const auto contents = [&] {
            std::string all;
            for (const std::string& entry : entries)
                all += readFile(entry);
            return all;
        };
        const std::string before = contents();
        if (locked == kio) {
            std::filesystem::remove_all(locked);
            writeFile(locked, "");
        }
        ::chmod(locked.c_str(), 0555);
        EXPECT_EQ(SetContextMenu(1, wide(dir.file("Moved/folimo"))), 0);
        EXPECT_EQ(contents(), before);
        if (locked != kio) {
            EXPECT_EQ(SetContextMenu(0, program), 0);
            EXPECT_EQ(contents(), before);
            EXPECT_EQ(listDir(locked).size(), 1u);
        }
        EXPECT_EQ(IsContextMenuRegistered(wide(dir.file("Moved/folimo"))), 0);
        ::chmod(locked.c_str(), 0755);
    }
}

} // namespace
