#pragma once

#include <QDialog>
#include <string>

#include "app/OptionDialogData.h"

class QCheckBox;
class QComboBox;

namespace vantor {

class HelpOpener;
struct FilterOptions;

// Filter: the host words (with their history), and which response-code and content classes
// the tree shows while the filter is on.
class CFilterDlg : public QDialog {
    Q_OBJECT

public:
    CFilterDlg(FilterOptions& filter, HelpOpener& help, const std::string& helpFolder,
               QWidget* parent = nullptr);

    void accept() override;

private:
    FilterFields Exchange() const;

    FilterOptions& m_filter;
    QCheckBox* m_hostEnabled;
    QComboBox* m_host;
    QCheckBox* m_content[6];
    QCheckBox* m_codes[6];
};

}  // namespace vantor
