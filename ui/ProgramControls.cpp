#include "ProgramControls.h"

#include "McListAccessible.h"
#include "UiLoader.h"

#include <QHBoxLayout>
#include <QLabel>

namespace folimo::ui {

namespace {

void markClass(QObject* control) {
    control->setProperty("folimoClass", layoutClassName(*control->metaObject()));
}

template <class Control>
void registerControl() {
    UiLoader::registerClass(layoutClassName(Control::staticMetaObject),
                            [](QWidget* parent, const QString&) { return new Control(parent); });
}

} // namespace

void registerProgramControls() {
    registerControl<SMCListViewEx>();
    // What a screen reader sees of the list: its rows and cells, not an empty scroll area.
    installMcListAccessibility();
    registerControl<SImageWndEx>();
    registerControl<SIECtrl>();
    registerControl<SWkeWebkit>();
}

SIECtrl::SIECtrl(QWidget* parent) : QFrame(parent), label_(new QLabel(this)) {
    markClass(this);
    label_->setObjectName(QStringLiteral("txt_ie_placeholder"));
    label_->setWordWrap(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 0, 12, 0);
    layout->addWidget(label_);
}

QString SIECtrl::text() const {
    return label_->text();
}

void SIECtrl::setText(const QString& text) {
    label_->setText(text);
}

SWkeWebkit::SWkeWebkit(QWidget* parent) : QFrame(parent) {
    markClass(this);
}

} // namespace folimo::ui
