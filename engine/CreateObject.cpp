#include <folimo/Folimo.h>
extern "C" int CreateObject(int, void**) noexcept { return 1; }
