// The program's own control classes, made by the layout loader by their class names.
// Each names its layout class in the class info "layoutClass" and carries it in the
// property "folimoClass", so code and tests can tell them from the stand-in a plain
// loader would make. The list view lives in SMCListViewEx.h, the image preview in
// SImageWndEx.h; the web panels grow from the seams here.
#pragma once

#include "SImageWndEx.h"
#include "SMCListViewEx.h"

#include <QFrame>

class QLabel;

namespace folimo::ui {

// Registers "mclistviewex", "imgex", "iectrl" and "wkeWebkit" with UiLoader, and the
// list's accessibility (its rows and cells) with Qt. Call once before the first layout
// is loaded; calling again changes nothing.
void registerProgramControls();

// The top web panel ("iectrl"): a named placeholder that is only shown or hidden. Until
// it shows pages it shows the line of text its layout gives it (property "text"), so
// the band is of use rather than empty.
class SIECtrl : public QFrame {
    Q_OBJECT
    Q_CLASSINFO("layoutClass", "iectrl")
    Q_PROPERTY(QString text READ text WRITE setText)
public:
    explicit SIECtrl(QWidget* parent = nullptr);
    QString text() const;
    void setText(const QString& text);

private:
    QLabel* label_;
};

// The side web panel ("wkeWebkit"): an empty named placeholder, kept hidden.
class SWkeWebkit : public QFrame {
    Q_OBJECT
    Q_CLASSINFO("layoutClass", "wkeWebkit")
public:
    explicit SWkeWebkit(QWidget* parent = nullptr);
};

} // namespace folimo::ui
