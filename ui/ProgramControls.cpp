#include "ProgramControls.h"

#include "UiLoader.h"

#include <QFrame>

namespace folimo::ui {

void registerProgramControls() {
    for (const char* name : {"mclistviewex", "imgex", "iectrl", "wkeWebkit"}) {
        UiLoader::registerClass(name, [name](QWidget* parent, const QString&) {
            auto* placeholder = new QFrame(parent);
            placeholder->setProperty("folimoClass", QString::fromLatin1(name));
            return placeholder;
        });
    }
}

} // namespace folimo::ui
