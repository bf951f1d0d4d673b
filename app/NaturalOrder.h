// Texts compared as people read them: "img9" before "img10", "1.9" before "1.10",
// letters without regard to case.
#pragma once

#include <QCollator>

namespace folimo {

QCollator NaturalOrder();

} // namespace folimo
