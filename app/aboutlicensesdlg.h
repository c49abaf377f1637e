#ifndef ABOUTLICENSESDLG_H
#define ABOUTLICENSESDLG_H

#include <QWidget>

// A window with three read-only tabs: the note on the licences that apply to
// the program, and the full texts of the GNU LGPL v3 and GNU GPL v3.
class AboutLicensesDlg : public QWidget {
    Q_OBJECT
public:
    explicit AboutLicensesDlg(QWidget *parent);
    ~AboutLicensesDlg() override;
};

#endif // ABOUTLICENSESDLG_H
