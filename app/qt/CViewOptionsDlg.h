#pragma once

#include <QDialog>
#include <string>

#include "app/OptionDialogData.h"

class QCheckBox;
class QRadioButton;

namespace vantor {

class HelpOpener;

// View Options: whether request and response bodies are shown, and the tree's order. The
// values are read by the frame's command after the dialog closed.
class CViewOptionsDlg : public QDialog {
    Q_OBJECT

public:
    CViewOptionsDlg(const ViewOptionsFields& fields, HelpOpener& help,
                    const std::string& helpFolder, QWidget* parent = nullptr);

    ViewOptionsFields fields() const;

private:
    QCheckBox* m_showRequestBody;
    QCheckBox* m_showResponseBody;
    QRadioButton* m_byTime;
    QRadioButton* m_byPeer;
};

}  // namespace vantor
