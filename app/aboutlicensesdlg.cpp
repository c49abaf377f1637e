#include "app/aboutlicensesdlg.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTextCursor>
#include <QVBoxLayout>

namespace {

struct LicenseTab {
    const char *title;
    const char *resource;
};

const LicenseTab license_tabs[] = {
    {"Licenses", ":rsrc/about_licenses/note1.txt"},
    {"LGPL v3", ":rsrc/about_licenses/license_lgpl.txt"},
    {"GPL v3", ":rsrc/about_licenses/license_gpl.txt"},
};

// The whole resource as UTF-8, or a line saying which one could not be read,
// so that one broken resource does not leave the other tabs empty.
QString read_resource_text(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "unable to open " + path;
    return QString::fromUtf8(file.readAll());
}

} // namespace

AboutLicensesDlg::AboutLicensesDlg(QWidget *parent) : QWidget(parent, Qt::WindowFlags()) {
    auto *tabs = new QTabWidget(this);
    QList<QPlainTextEdit *> views;
    for (const LicenseTab &tab : license_tabs) {
        auto *view = new QPlainTextEdit;
        tabs->addTab(view, tab.title);
        view->setReadOnly(true);
        views.append(view);
    }

    for (int i = 0; i < views.size(); ++i)
        views[i]->insertPlainText(read_resource_text(license_tabs[i].resource));

    // Inserting leaves the cursor, and so the view, at the end of the text.
    for (QPlainTextEdit *view : views) {
        view->moveCursor(QTextCursor::Start, QTextCursor::MoveAnchor);
        view->ensureCursorVisible();
    }

    auto *layout = new QVBoxLayout;
    layout->addWidget(tabs);
    setLayout(layout);

    resize(600, 600);
    setWindowTitle("Velmora : Licenses");
}

AboutLicensesDlg::~AboutLicensesDlg() = default;
