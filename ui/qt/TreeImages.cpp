#include "ui/qt/TreeImages.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace vantor {

namespace {

// A double arrow (two chevrons) inside one 17 x 12 cell, pointing right or left.
void DrawDoubleArrow(QPainter& painter, int cell, bool right, QColor fill) {
    const int x = cell * TreeImages::kWidth;
    painter.setPen(QPen(fill.darker(160), 1));
    painter.setBrush(fill);
    for (int chevron = 0; chevron < 2; ++chevron) {
        const int offset = x + 2 + chevron * 6;
        QPainterPath path;
        if (right) {
            path.moveTo(offset, 1);
            path.lineTo(offset + 7, 6);
            path.lineTo(offset, 11);
            path.lineTo(offset + 2, 6);
        } else {
            path.moveTo(offset + 7, 1);
            path.lineTo(offset, 6);
            path.lineTo(offset + 7, 11);
            path.lineTo(offset + 5, 6);
        }
        path.closeSubpath();
        painter.drawPath(path);
    }
}

// A sheet of paper with a folded corner and three lines of text.
void DrawPage(QPainter& painter) {
    const QColor outline(96, 96, 96);
    painter.setPen(outline);
    painter.setBrush(QColor(255, 255, 255));
    QPainterPath sheet;
    sheet.moveTo(4, 0);
    sheet.lineTo(10, 0);
    sheet.lineTo(13, 3);
    sheet.lineTo(13, 11);
    sheet.lineTo(4, 11);
    sheet.closeSubpath();
    painter.drawPath(sheet);
    painter.drawLine(10, 0, 10, 3);
    painter.drawLine(10, 3, 13, 3);
    painter.setPen(QColor(128, 128, 160));
    for (int y : {5, 7, 9}) {
        painter.drawLine(6, y, 11, y);
    }
}

}  // namespace

QImage TreeImages::Strip() {
    QImage strip(kWidth * kCount, kHeight, QImage::Format_RGB32);
    strip.fill(Qt::black);  // the transparent colour
    QPainter painter(&strip);
    painter.setRenderHint(QPainter::Antialiasing, false);
    DrawPage(painter);
    DrawDoubleArrow(painter, 1, true, QColor(160, 160, 160));
    DrawDoubleArrow(painter, 2, true, QColor(40, 90, 220));
    DrawDoubleArrow(painter, 3, false, QColor(160, 160, 160));
    DrawDoubleArrow(painter, 4, false, QColor(220, 40, 40));
    DrawDoubleArrow(painter, 5, false, QColor(40, 170, 60));
    DrawDoubleArrow(painter, 6, false, QColor(235, 200, 30));
    return strip;
}

std::vector<QIcon> TreeImages::Icons() {
    const QImage strip = Strip();
    std::vector<QIcon> icons;
    for (int i = 0; i < kCount; ++i) {
        QImage image =
            strip.copy(i * kWidth, 0, kWidth, kHeight).convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < kHeight; ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < kWidth; ++x) {
                if ((line[x] & 0x00FFFFFF) == 0) {
                    line[x] = qRgba(0, 0, 0, 0);
                }
            }
        }
        icons.emplace_back(QPixmap::fromImage(image));
    }
    return icons;
}

}  // namespace vantor
