#pragma once

#include <QDialog>
#include <string>

#include "app/OptionDialogData.h"

class QCheckBox;
class QComboBox;
class QRadioButton;

namespace vantor {

class HelpOpener;
struct FindOptions;

// Find Message: the text searched across all messages, where, how, and in which direction,
// with the history of searched texts.
class CFindMessageDlg : public QDialog {
    Q_OBJECT

public:
    CFindMessageDlg(FindOptions& find, HelpOpener& help, const std::string& helpFolder,
                    QWidget* parent = nullptr);

    void accept() override;

private:
    FindOptions& m_find;
    QComboBox* m_text;
    QCheckBox* m_inRequests;
    QCheckBox* m_inResponses;
    QCheckBox* m_matchCase;
    QCheckBox* m_wholeWord;
    QRadioButton* m_up;
    QRadioButton* m_down;
};

}  // namespace vantor
