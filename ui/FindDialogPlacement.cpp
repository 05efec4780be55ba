#include "ui/FindDialogPlacement.h"

namespace vantor {

std::optional<int> MovedFindDialogTop(const ScreenRect& dialog, int matchX, int matchY,
                                      int screenHeight) {
    if (!dialog.Contains(matchX, matchY)) {
        return std::nullopt;
    }
    if (dialog.height < matchY) {
        return matchY - 20 - dialog.height;
    }
    const int below = matchY + 40;
    if (below + dialog.height <= screenHeight) {
        return below;
    }
    return std::nullopt;
}

}  // namespace vantor
