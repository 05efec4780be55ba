#pragma once

#include <optional>

namespace vantor {

struct ScreenRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool Contains(int x, int y) const {
        return x >= left && x < left + width && y >= top && y < top + height;
    }
};

// Where the Find dialog goes when it covers the start of the match it found (matchX, matchY, in
// screen coordinates): up until its bottom is 20 pixels above the match when there is room
// above, else down until its top is 40 pixels below the match when it still fits on the screen.
// The new top edge, or nothing when the dialog stays where it is.
std::optional<int> MovedFindDialogTop(const ScreenRect& dialog, int matchX, int matchY,
                                      int screenHeight);

}  // namespace vantor
