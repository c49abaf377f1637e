#ifndef ABOUTDIALOG_H
#define ABOUTDIALOG_H

#include <QDialog>
#include <QString>

// The modal "About" box: the logo above a sunken panel with a short
// description, the program version and the credit to the Qwt project.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget *parent);
    ~AboutDialog() override;

protected:
    // For builds that carry another version number (0 marks an unversioned
    // build); the public constructor gives the released version.
    AboutDialog(QWidget *parent, int major, int minor, int patch);

private:
    QString description_text() const;

    int version_major;
    int version_minor;
    int version_patch;
};

#endif // ABOUTDIALOG_H
