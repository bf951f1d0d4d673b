#pragma once

namespace folimo {

// For programs that convert: call first thing in main, before any thread starts.
void tuneHeapForPictures();

} // namespace folimo
