// Makes the pictures of the README's first measurement: the real main window
// on the simulated device, driven through its menus and form fields on the
// offscreen platform, grabbed at each step of the tour. It also exports the
// run and prints the head of each exported file.
//
// Usage (from a folder that holds tdc_qv5.ini): velmora_tour <picture folder>
// [<extras folder>]. scripts/screenshot.sh builds and runs it. With an extras
// folder it also grabs every view of the plots and their tools there: a long
// run, a hidden channel, the cursor readout, the channel summary, the rate
// history with losses (on a slow link) and the plot images, and prints the
// summary's table.

#include "app/mainwindow.h"
#include "app/recordcontrol.h"
#include "plots/mhisto.h"
#include "plots/plotimage.h"
#include "plots/ratehistorywindow.h"
#include "tools/channelsummarywindow.h"

#include <qwt_plot_canvas.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
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
    // Decays read best on a log count axis.
    auto *y_scale = panel->findChild<QComboBox *>("cb_y_scale");
    if (y_scale == nullptr) {
        std::fprintf(stderr, "tour: the count scale was not found\n");
        return 1;
    }
    y_scale->setCurrentIndex(y_scale->findText("log"));
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

// A run of `exposures` accumulated exposures of one second.
bool run_exposures(QWidget *panel, int exposures) {
    form_field<QSpinBox>(panel, "meas. time [ms]:")->setValue(1000);
    form_field<QSpinBox>(panel, "iterations:")->setValue(exposures);
    form_field<QSpinBox>(panel, "event threshold:")->setValue(0);
    if (!form_field<QCheckBox>(panel, "accumulate:")->isChecked())
        form_field<QCheckBox>(panel, "accumulate:")->click();
    auto *start = find_text<QPushButton>(panel, "start");
    auto *stop = find_text<QPushButton>(panel, "stop");
    start->click();
    return wait_for([&] { return start->isEnabled() && !stop->isEnabled(); },
                    (exposures + 10) * 2000);
}

template <typename T> T *top_level() {
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *found = qobject_cast<T *>(widget))
            return found;
    return nullptr;
}

int run_extras(const QString &folder, const QString &slow_ini) {
    auto window = std::make_unique<MainWindow>(nullptr);
    window->show();
    settle();
    QWidget *panel = window->centralWidget();
    auto *histo = panel->findChild<Mhisto *>();
    panel->findChild<QComboBox *>("cb_y_scale")->setCurrentIndex(1);
    find_text<QAction>(window.get(), "Connect")->trigger();
    settle();
    find_text<QAction>(window.get(), "Count Rates")->trigger();
    find_text<QAction>(window.get(), "Channel Summary")->trigger();
    settle();
    // More than a million counts in the peak channel (80,000 a second).
    if (!run_exposures(panel, 14))
        return 1;
    settle();
    save(window->grab(), folder, "main-log-legend.png");
    auto *summary = top_level<ChannelSummaryWindow>();
    save(summary->grab(), folder, "channel-summary.png");
    std::printf("%s", qPrintable(summary->table_text()));

    histo->set_hidden_channels(1u << 4 | 1u << 9);
    settle();
    save(window->grab(), folder, "main-hidden-4-9.png");
    // The cursor on the peak of channel 0.
    QWidget *canvas = histo->canvas();
    const QPoint at(int(histo->transform(QwtPlot::xBottom, 45.0)),
                    int(histo->transform(QwtPlot::yLeft, 3000.0)));
    canvas->setFocus();
    QMouseEvent enter(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(canvas, &enter);
    settle();
    save(window->grab(), folder, "main-cursor.png");
    // The save dialog, grabbed and cancelled.
    QTimer::singleShot(500, [folder] {
        if (QWidget *dialog = QApplication::activeModalWidget()) {
            save(dialog->grab(), folder, "save-plot-image.png");
            dialog->close();
        }
    });
    find_text<QAction>(window.get(), "Save Plot Image...")->trigger();
    for (const char *name : {"plot.png", "plot.svg", "plot.pdf"}) {
        QString why;
        if (!write_plot_image(histo, QDir(folder).filePath(name), 150, histo->image_footer(), &why))
            std::fprintf(stderr, "tour: %s\n", qPrintable(why));
    }
    histo->set_hidden_channels(0);
    panel->findChild<QComboBox *>("cb_y_scale")->setCurrentIndex(0);
    settle();
    save(window->grab(), folder, "main-linear.png");

    // Losses: the device again with a slow link.
    find_text<QAction>(window.get(), "Connect")->trigger();
    settle();
    QFile::remove("tdc_qv5.ini.kept");
    QFile::rename("tdc_qv5.ini", "tdc_qv5.ini.kept");
    QFile::copy(slow_ini, "tdc_qv5.ini");
    find_text<QAction>(window.get(), "Connect")->trigger();
    settle();
    // Recording on during the lossy run: the record dialog, grabbed and
    // cancelled, then a recording started as the menu would.
    QTimer::singleShot(500, [folder] {
        if (QWidget *dialog = QApplication::activeModalWidget()) {
            save(dialog->grab(), folder, "record-events.png");
            dialog->close();
        }
    });
    find_text<QAction>(window.get(), "Record Events...")->trigger();
    const QString recording = QDir(folder).filePath("losses.h5");
    QFile::remove(recording);
    window->findChild<RecordControl *>()->start_recording(recording);
    const bool ran = run_exposures(panel, 8);
    window->findChild<RecordControl *>()->stop_recording();
    QFile::remove("tdc_qv5.ini");
    QFile::rename("tdc_qv5.ini.kept", "tdc_qv5.ini");
    if (!ran)
        return 1;
    settle();
    auto *rates = top_level<RateHistoryWindow>();
    rates->set_log_rates(true);
    settle();
    save(rates->grab(), folder, "rate-history-losses.png");
    save(window->grab(), folder, "main-losses.png");
    find_text<QAction>(window.get(), "Connect")->trigger();
    settle();
    window->close();
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: velmora_tour <picture folder> [<extras folder> <slow-link "
                             "ini>]\n");
        return 2;
    }
    int result = 1;
    QTimer::singleShot(0, [&] {
        result = run_tour(QString::fromLocal8Bit(argv[1]));
        if (result == 0 && argc == 4)
            result = run_extras(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
        QApplication::quit();
    });
    app.exec();
    return result;
}
