#include "ui/qt/ClearScrollBars.h"

#include <QAbstractScrollArea>

namespace vantor {

void UseClearScrollBars(QAbstractScrollArea* area) {
    area->setStyleSheet(QStringLiteral(
        "QScrollBar { background: palette(base); border: none; margin: 0; }"
        "QScrollBar:vertical { width: 14px; }"
        "QScrollBar:horizontal { height: 14px; }"
        "QScrollBar::handle { background: palette(mid); border-radius: 4px; margin: 3px; }"
        "QScrollBar::handle:hover, QScrollBar::handle:pressed { background: palette(dark); }"
        "QScrollBar::handle:vertical { min-height: 24px; }"
        "QScrollBar::handle:horizontal { min-width: 24px; }"
        "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; border: none; }"
        "QScrollBar::add-page, QScrollBar::sub-page { background: none; }"));
}

}  // namespace vantor
