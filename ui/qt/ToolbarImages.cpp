#include "ui/qt/ToolbarImages.h"

#include <QBitmap>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "ui/FrameCommands.h"

namespace vantor {

namespace {

const QColor kOutline(64, 64, 64);
const QColor kGrey(150, 150, 150);

void DrawPage(QPainter& p, int x, int y) {
    p.setPen(kOutline);
    p.setBrush(Qt::white);
    QPainterPath sheet;
    sheet.moveTo(x, y);
    sheet.lineTo(x + 6, y);
    sheet.lineTo(x + 9, y + 3);
    sheet.lineTo(x + 9, y + 11);
    sheet.lineTo(x, y + 11);
    sheet.closeSubpath();
    p.drawPath(sheet);
    p.drawLine(x + 6, y, x + 6, y + 3);
    p.drawLine(x + 6, y + 3, x + 9, y + 3);
}

void DrawDoubleArrow(QPainter& p, QColor fill) {
    p.setPen(fill.darker(170));
    p.setBrush(fill);
    for (int chevron = 0; chevron < 2; ++chevron) {
        const int x = 2 + chevron * 6;
        QPainterPath path;
        path.moveTo(x, 2);
        path.lineTo(x + 7, 7);
        path.lineTo(x, 12);
        path.lineTo(x + 2, 7);
        path.closeSubpath();
        p.drawPath(path);
    }
}

void DrawDisc(QPainter& p, QColor fill) {
    p.setPen(fill.darker(170));
    p.setBrush(fill);
    p.drawEllipse(QRect(2, 1, 11, 11));
}

void DrawFunnel(QPainter& p) {
    p.setPen(kOutline);
    p.setBrush(QColor(255, 220, 40));
    QPainterPath funnel;
    funnel.moveTo(1, 1);
    funnel.lineTo(14, 1);
    funnel.lineTo(9, 7);
    funnel.lineTo(9, 13);
    funnel.lineTo(6, 11);
    funnel.lineTo(6, 7);
    funnel.closeSubpath();
    p.drawPath(funnel);
}

void DrawExpand(QPainter& p, QColor colour) {
    p.setPen(QPen(colour, 1));
    p.drawLine(7, 1, 7, 7);
    p.drawLine(4, 4, 7, 7);
    p.drawLine(10, 4, 7, 7);
    for (int line = 0; line < 3; ++line) {
        p.drawLine(2, 9 + line * 2, 13, 9 + line * 2);
    }
}

void DrawCollapse(QPainter& p, QColor colour) {
    p.setPen(QPen(colour, 1));
    p.drawLine(7, 0, 7, 5);
    p.drawLine(4, 2, 7, 5);
    p.drawLine(10, 2, 7, 5);
    p.drawLine(7, 9, 7, 14);
    p.drawLine(4, 12, 7, 9);
    p.drawLine(10, 12, 7, 9);
    p.drawLine(2, 7, 13, 7);
}

void DrawWindow(QPainter& p) {
    p.setPen(kOutline);
    p.setBrush(Qt::white);
    p.drawRect(1, 2, 12, 10);
    p.fillRect(2, 3, 11, 2, QColor(0, 0, 128));
}

void DrawImage(QPainter& p, int image) {
    switch (image) {
        case kToolOpen:
            p.setPen(kOutline);
            p.setBrush(QColor(240, 200, 80));
            p.drawRect(1, 4, 12, 9);
            p.setBrush(QColor(255, 230, 130));
            p.drawPolygon(QPolygon({QPoint(3, 7), QPoint(15, 7), QPoint(13, 13), QPoint(1, 13)}));
            break;
        case kToolSave:
            p.setPen(kOutline);
            p.setBrush(QColor(40, 60, 160));
            p.drawRect(1, 1, 13, 13);
            p.fillRect(4, 2, 8, 5, Qt::white);
            p.fillRect(5, 10, 6, 4, QColor(180, 180, 180));
            break;
        case kToolNew:
            DrawPage(p, 3, 1);
            break;
        case kToolStart:
            DrawDoubleArrow(p, QColor(0, 170, 0));
            break;
        case kToolStop:
            DrawDisc(p, QColor(220, 0, 0));
            break;
        case kToolCaptureOptions:
            p.setPen(QPen(QColor(120, 80, 40), 2));
            p.drawLine(3, 13, 11, 5);
            p.setPen(QPen(QColor(100, 100, 110), 2));
            p.drawLine(4, 4, 12, 12);
            p.fillRect(9, 1, 5, 4, QColor(100, 100, 110));
            break;
        case kToolCopy:
            DrawPage(p, 1, 0);
            DrawPage(p, 5, 3);
            break;
        case kToolFindMessage:
            p.setPen(kOutline);
            p.setBrush(QColor(90, 90, 90));
            p.drawRect(2, 7, 8, 4);
            p.setBrush(QColor(255, 240, 120));
            p.drawPolygon(QPolygon({QPoint(10, 5), QPoint(14, 2), QPoint(14, 14), QPoint(10, 11)}));
            break;
        case kToolViewOptions:
            DrawWindow(p);
            p.setPen(QPen(QColor(160, 40, 40), 2));
            p.drawLine(6, 13, 14, 5);
            break;
        case kToolUnusedLetter:
            DrawWindow(p);
            p.setPen(QColor(220, 0, 0));
            p.drawText(QRect(3, 5, 10, 8), Qt::AlignCenter, "A");
            break;
        case kToolExpand:
            DrawExpand(p, Qt::black);
            break;
        case kToolCollapse:
            DrawCollapse(p, Qt::black);
            break;
        case kToolFilterOn:
            DrawFunnel(p);
            break;
        case kToolFilterOptions:
            DrawFunnel(p);
            p.setPen(kOutline);
            p.setBrush(Qt::white);
            p.drawRect(9, 8, 6, 6);
            p.fillRect(10, 9, 5, 1, QColor(0, 0, 128));
            break;
        case kToolStartInactive:
            DrawDoubleArrow(p, kGrey);
            break;
        case kToolStopInactive:
            DrawDisc(p, kGrey);
            break;
        case kToolFilterOff:
            DrawFunnel(p);
            p.setPen(QPen(QColor(220, 0, 0), 2));
            p.drawLine(1, 13, 14, 1);
            break;
        case kToolExpandInactive:
            DrawExpand(p, kGrey);
            break;
        case kToolCollapseInactive:
            DrawCollapse(p, kGrey);
            break;
        default:
            break;
    }
}

}  // namespace

QImage ToolbarImages::Strip() {
    QImage strip(kWidth * kCount, kHeight, QImage::Format_RGB32);
    strip.fill(kMaskColour);
    QPainter painter(&strip);
    for (int image = 0; image < kCount; ++image) {
        painter.save();
        painter.translate(image * kWidth, 0);
        painter.setClipRect(0, 0, kWidth, kHeight);
        DrawImage(painter, image);
        painter.restore();
    }
    return strip;
}

std::vector<QIcon> ToolbarImages::Icons() {
    const QImage strip = Strip();
    std::vector<QIcon> icons;
    icons.reserve(kCount);
    for (int image = 0; image < kCount; ++image) {
        QPixmap pixmap = QPixmap::fromImage(strip.copy(image * kWidth, 0, kWidth, kHeight));
        pixmap.setMask(pixmap.createMaskFromColor(QColor(kMaskColour), Qt::MaskInColor));
        icons.emplace_back(pixmap);
    }
    return icons;
}

}  // namespace vantor
