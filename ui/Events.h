// Events that controls raise and windows handle by the sender's name. A control's own
// subscribers see an event first; what they leave goes to the window that holds the
// control (LayoutHost::OnEvent, OnCommand), and what the window leaves to the window's
// default handling.
#pragma once

#include <QPoint>
#include <QString>

#include <functional>

class QObject;

namespace folimo::ui {

// The event numbers the windows and controls agree on.
enum class EventId : int {
    Command = 10000,            // a button or a layout action was clicked
    ContextMenu = 10001,        // pos: where, in the sender's coordinates
    ItemPanelNotify = 10007,    // a list row's panel was clicked; newIndex: its row
    TabSelChanged = 11001,      // oldIndex, newIndex: pages
    ListSelChanging = 15100,    // oldIndex, newIndex: rows; set cancel to keep the old row
    ListSelChanged = 15101,     // oldIndex, newIndex: rows
    HeaderClick = 18000,        // oldIndex: the column clicked
    HeaderItemResizing = 18001, // oldIndex: the column, newIndex: its new width
    HeaderItemSwapped = 18003,  // oldIndex, newIndex: the moved column's old and new place
};

struct Event {
    EventId id = EventId::Command;
    QObject* sender = nullptr; // filled in by FireEvent
    QString name;              // the sender's objectName, filled in by FireEvent
    int oldIndex = -1;
    int newIndex = -1;
    QPoint pos;
    bool cancel = false;
};

// True when the event was handled and goes no further.
using EventHandler = std::function<bool(Event& event)>;

// Adds a handler for one event of one control; handlers of a control run in the order
// they were added, and they go with the control. GUI thread only.
void SubscribeEvent(QObject* control, EventId id, EventHandler handler);

// Raises `event` from `control`: its subscribers first, then the nearest host window
// above it. True when someone handled it.
bool FireEvent(QObject* control, Event& event);
bool FireEvent(QObject* control, EventId id);

} // namespace folimo::ui
