// The program's own control classes, made by the layout loader by their class names.
#pragma once

namespace folimo::ui {

// Registers "mclistviewex", "imgex", "iectrl" and "wkeWebkit" with UiLoader. Call once
// before the first layout is loaded; calling again changes nothing.
void registerProgramControls();

} // namespace folimo::ui
