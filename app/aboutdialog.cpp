#include "app/aboutdialog.h"

#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

namespace {
const char *const qwt_project_url = "https://qwt-project.org/";
}

AboutDialog::AboutDialog(QWidget *parent)
    : AboutDialog(parent, VELMORA_VERSION_MAJOR, VELMORA_VERSION_MINOR, VELMORA_VERSION_PATCH) {}

AboutDialog::AboutDialog(QWidget *parent, int major, int minor, int patch)
    : QDialog(parent, Qt::WindowFlags()), version_major(major), version_minor(minor),
      version_patch(patch) {
    setWindowTitle("About velmora application");

    auto *layout = new QVBoxLayout;
    // A missing logo leaves this label empty; there is nothing worth reporting.
    auto *logo = new QLabel;
    logo->setPixmap(QPixmap(":/rsrc/logo.png"));
    auto *text = new QLabel;
    text->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    text->setTextFormat(Qt::RichText);
    text->setText(description_text());

    layout->addWidget(logo);
    layout->addWidget(text);
    setLayout(layout);
}

AboutDialog::~AboutDialog() = default;

QString AboutDialog::description_text() const {
    QString text;
    text.append("This program is designed to demonstrate basic<br>\n");
    text.append("functionalities of the Corvane TDC hardware.<br>\n");
    text.append("<br>\nVelmora ");
    if (version_major != 0)
        text.append(
            QString("Version: %1.%2.%3").arg(version_major).arg(version_minor).arg(version_patch));
    else
        text.append("Unversioned.");
    text.append("<br>\n<br>\nVelmora is based in part on the work of<br>\n");
    text.append(QString("the Qwt project (<a href='%1'>%1</a>)").arg(qwt_project_url));
    return text;
}
