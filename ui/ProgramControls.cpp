#include "ProgramControls.h"

#include "FindChild.h"
#include "UiLoader.h"

namespace folimo::ui {

namespace {

void markClass(QObject* control) {
    control->setProperty("folimoClass", layoutClassName(*control->metaObject()));
}

template <class Control> void registerControl() {
    UiLoader::registerClass(layoutClassName(Control::staticMetaObject),
                            [](QWidget* parent, const QString&) { return new Control(parent); });
}

} // namespace

void registerProgramControls() {
    registerControl<SMCListViewEx>();
    registerControl<SImageWndEx>();
    registerControl<SIECtrl>();
    registerControl<SWkeWebkit>();
}

SIECtrl::SIECtrl(QWidget* parent) : QFrame(parent) {
    markClass(this);
}

SWkeWebkit::SWkeWebkit(QWidget* parent) : QFrame(parent) {
    markClass(this);
}

} // namespace folimo::ui
