#pragma once

#include <QIcon>
#include <QImage>
#include <vector>

namespace vantor {

// The toolbar's picture: nineteen images of 16 x 15 pixels side by side (304 x 15), magenta
// where it is transparent, in the order of ToolbarImage.
class ToolbarImages {
public:
    static constexpr int kWidth = 16;
    static constexpr int kHeight = 15;
    static constexpr int kCount = 19;
    static constexpr QRgb kMaskColour = 0xFFFF00FF;

    static QImage Strip();
    // The strip cut into icons, magenta made transparent.
    static std::vector<QIcon> Icons();
};

}  // namespace vantor
