#pragma once

class QWidget;

namespace vantor {

// "About Vantor": the program's icon, its name and version, and OK.
void ShowAboutBox(QWidget* parent);

}  // namespace vantor
