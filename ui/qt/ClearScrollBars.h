#pragma once

class QAbstractScrollArea;

namespace vantor {

// Gives a pane's scroll bars a handle that cannot be taken for the groove: with the usual
// style's colours the handle is the light part and the groove the grey one, so that a long
// message shown at its top looked scrolled to its bottom.
void UseClearScrollBars(QAbstractScrollArea* area);

}  // namespace vantor
