#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace vantor {

class CSnifferView;

// The modeless Find dialog of the message text: what to find, whole words only, match case, and
// no choice of direction. Each Find Next searches forward from the selection; the dialog moves
// out of the way of the match it selected.
class TextFindDialog : public QDialog {
    Q_OBJECT

public:
    TextFindDialog(CSnifferView& view, QWidget* textWidget, QWidget* parent = nullptr);

    // Opens the dialog (or brings it forward); its first search starts at the selection.
    void Open();
    bool FindNext();

    QLineEdit* findWhat() const { return m_findWhat; }
    QCheckBox* wholeWord() const { return m_wholeWord; }
    QCheckBox* matchCase() const { return m_matchCase; }

private:
    void MoveOutOfTheWay();

    CSnifferView& m_view;
    QWidget* m_textWidget;
    QLineEdit* m_findWhat;
    QCheckBox* m_wholeWord;
    QCheckBox* m_matchCase;
    QPushButton* m_findNext;
};

}  // namespace vantor
