// The window toolkit layer in one include, for the windows and controls.
#pragma once

#include "DialogCodes.h"
#include "Events.h"
#include "FindChild.h"
#include "HostWindow.h"
#include "Menus.h"
#include "MessageBox.h"
#include "ProgramControls.h"
#include "Resources.h"
#include "Timers.h"
#include "UiLoader.h"
#include "WindowHandle.h"
