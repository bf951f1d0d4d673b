// The one QCoreApplication of a test program whose code posts events or reads settings,
// made on first use. Its name does not matter: the settings' paths come from the
// organisation's name, the program's path from /proc.
#pragma once

#include <QCoreApplication>

namespace folimo::test {

inline QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "folimo-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

} // namespace folimo::test
