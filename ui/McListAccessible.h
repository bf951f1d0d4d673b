// What assistive technology sees of the multi-column list: a table of rows and columns
// whose cells read the row panels' labels, with the adapter's selection.
#pragma once

namespace folimo::ui {

// Installs the accessibility factory for SMCListViewEx; calling again changes nothing.
void installMcListAccessibility();

} // namespace folimo::ui
