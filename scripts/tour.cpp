// Makes the pictures of the README's first measurement: the real main window
// on the simulated device, driven through its menus and form fields on the
// offscreen platform, grabbed at each step of the tour. It also exports the
// run and prints the head of each exported file.
//
// Usage (from a folder that holds tdc_qv5.ini): velmora_tour <picture folder>
// scripts/screenshot.sh builds and runs it.

#include "app/mainwindow.h"
#include "plots/mhisto.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

template <typename T> T *form_field(QWidget *panel, const QString &label) {
    for (QFormLayout *form : panel->findChildren<QFormLayout *>())
        for (T *field : panel->findChildren<T *>())
            if (auto *l = qobject_cast<QLabel *>(form->labelForField(field));
                l && l->text() == label)
                return field;
    return nullptr;
}

template <typename T> T *find_text(QWidget *parent, const QString &text) {
    for (T *item : parent->findChildren<T *>())
        if (item->text() == text)
            return item;
    return nullptr;
}

QMenu *find_menu(QWidget *window, const QString &title) {
    for (QMenu *menu : window->findChildren<QMenu *>())
        if (menu->title() == title)
            return menu;
    return nullptr;
}

void settle() {
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

bool wait_for(const std::function<bool()> &done, int timeout_ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout_ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The window with one of its menus open on `highlighted`: the offscreen
// platform draws the popup as a window of its own, so it is painted in.
QPixmap grab_with_menu(QMainWindow *window, const QString &title, const QString &highlighted) {
    QMenu *menu = find_menu(window, title);
    QMenuBar *bar = window->menuBar();
    const QRect entry = bar->actionGeometry(menu->menuAction());
    bar->setActiveAction(menu->menuAction());
    menu->popup(bar->mapToGlobal(entry.bottomLeft()));
    menu->setActiveAction(find_text<QAction>(window, highlighted));
    settle();
    QPixmap shot = window->grab();
    QPainter painter(&shot);
    painter.drawPixmap(window->mapFromGlobal(menu->pos()), menu->grab());
    painter.end();
    menu->hide();
    bar->setActiveAction(nullptr);
    settle();
    return shot;
}

// The part of the window that holds the panel's form, with a margin.
QPixmap grab_form(QMainWindow *window, QWidget *panel) {
    // The form's geometry is in the coordinates of the widget it lays out.
    QRect area;
    for (QFormLayout *form : panel->findChildren<QFormLayout *>()) {
        QWidget *owner = form->parentWidget();
        area |= form->geometry().translated(owner->mapTo(window, QPoint(0, 0)));
    }
    return window->grab(area.adjusted(-12, -12, 12, 12) & window->rect());
}

bool save(const QPixmap &picture, const QString &folder, const QString &name) {
    const QString path = QDir(folder).filePath(name);
    const bool ok = picture.save(path);
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "could not write", qPrintable(path),
                picture.width(), picture.height());
    return ok;
}

void print_head(const QString &path, int lines) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    std::printf("--- %s\n", qPrintable(QFileInfo(path).fileName()));
    QTextStream in(&file);
    for (int i = 0; i < lines && !in.atEnd(); ++i)
        std::printf("%s\n", qPrintable(in.readLine()));
}

int run_tour(const QString &folder) {
    auto window = std::make_unique<MainWindow>(nullptr);
    window->show();
    settle();
    QWidget *panel = window->centralWidget();
    auto *exposure = form_field<QSpinBox>(panel, "meas. time [ms]:");
    auto *iterations = form_field<QSpinBox>(panel, "iterations:");
    auto *threshold = form_field<QSpinBox>(panel, "event threshold:");
    auto *histo_start = form_field<QSpinBox>(panel, "histogram start offset [ns]:");
    auto *histo_size = form_field<QSpinBox>(panel, "histogram window size [ns]:");
    auto *accumulate = form_field<QCheckBox>(panel, "accumulate:");
    auto *start = find_text<QPushButton>(panel, "start");
    auto *stop = find_text<QPushButton>(panel, "stop");
    if (!exposure || !iterations || !threshold || !histo_start || !histo_size || !accumulate ||
        !start || !stop) {
        std::fprintf(stderr, "tour: a control of the panel was not found\n");
        return 1;
    }

    // 1. Connect.
    if (!save(grab_with_menu(window.get(), "&Device", "Connect"), folder, "tour-1-connect.png"))
        return 1;
    find_text<QAction>(window.get(), "Connect")->trigger();
    settle();
    if (!start->isEnabled()) {
        std::fprintf(stderr, "tour: the device did not connect: %s\n",
                     qPrintable(window->findChild<QLabel *>("lb_status")->text()));
        return 1;
    }

    // 2. Exposure and window: three accumulated exposures of one second over
    // the first 1000 ns.
    exposure->setValue(1000);
    iterations->setValue(3);
    threshold->setValue(0);
    if (!accumulate->isChecked())
        accumulate->click();
    histo_start->setValue(0);
    histo_size->setValue(1000);
    settle();
    if (!save(grab_form(window.get(), panel), folder, "tour-2-parameters.png"))
        return 1;

    // 3. Start, and 4. watch.
    start->click();
    if (!wait_for([&] { return start->isEnabled() && !stop->isEnabled(); }, 30000)) {
        std::fprintf(stderr, "tour: the run did not end\n");
        return 1;
    }
    settle();
    if (!save(window->grab(), folder, "tour-3-run.png"))
        return 1;

    // 5. Export.
    if (!save(grab_with_menu(window.get(), "&File", "&Export"), folder, "tour-4-export.png"))
        return 1;
    QTemporaryDir scratch;
    const QString name = scratch.filePath("scan.txt");
    if (!panel->findChild<Mhisto *>()->write_data(name, false)) {
        std::fprintf(stderr, "tour: the export failed\n");
        return 1;
    }
    print_head(scratch.filePath("scan_rates.txt"), 6);
    print_head(scratch.filePath("scan_ch0.txt"), 4);

    find_text<QAction>(window.get(), "Connect")->trigger();
    settle();
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmora_tour <picture folder>\n");
        return 2;
    }
    int result = 1;
    QTimer::singleShot(0, [&] {
        result = run_tour(QString::fromLocal8Bit(argv[1]));
        QApplication::quit();
    });
    app.exec();
    return result;
}
