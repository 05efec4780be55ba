#pragma once

#include <QIcon>
#include <QImage>
#include <vector>

namespace vantor {

// The message tree's image strip: seven images of 17 x 12 pixels side by side (119 x 12),
// black as the transparent colour: 0 a page (the detail lines); 1 and 2 a grey and a blue
// double arrow to the right (requests); 3 to 6 a grey, red, green and yellow double arrow to the
// left (responses).
class TreeImages {
public:
    static constexpr int kWidth = 17;
    static constexpr int kHeight = 12;
    static constexpr int kCount = 7;

    // The strip, drawn, with black where it is transparent.
    static QImage Strip();
    // The strip cut into icons, black made transparent.
    static std::vector<QIcon> Icons();
};

}  // namespace vantor
