#ifndef E2EHELPERS_H
#define E2EHELPERS_H

// Helpers for tests that drive windows as a user does, finding widgets by their texts.

#include "app/mainwindow.h"
#include "device/tdciface.h"
#include "tests/modalanswerer.h"

#include <QtTest>
#include <QtWidgets>
template <typename T> T *find_text(QWidget *parent, const QString &text) {
    for (T *item : parent->findChildren<T *>())
        if (item->text() == text)
            return item;
    return nullptr;
}

// A visible top-level window with this title or of this class.
inline QWidget *find_window(const QString &name) {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && (w->windowTitle() == name || w->inherits(qPrintable(name))))
            return w;
    return nullptr;
}

// The field of the form row whose label reads `label`.
template <typename T> T *form_field(QWidget *panel, const QString &label) {
    QLabel *text = find_text<QLabel>(panel, label);
    for (QFormLayout *form : panel->findChildren<QFormLayout *>())
        for (T *field : panel->findChildren<T *>())
            if (text && form->labelForField(field) == text)
                return field;
    return nullptr;
}

inline QByteArray read_all(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One main window and the widgets a user reaches on it.
struct Session {
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();
    QWidget *panel = window->centralWidget();
    TdcIface *tdc = window->findChild<TdcIface *>();
    QSignalSpy completions{tdc, &TdcIface::complete_callback};
    QPushButton *start = find_text<QPushButton>(panel, "start");
    QPushButton *stop = find_text<QPushButton>(panel, "stop");
    QSpinBox *exposure = form_field<QSpinBox>(panel, "meas. time [ms]:");
    QSpinBox *iterations = form_field<QSpinBox>(panel, "iterations:");
    QSpinBox *histo_size = form_field<QSpinBox>(panel, "histogram window size [ns]:");
    QCheckBox *accumulate = form_field<QCheckBox>(panel, "accumulate:");
    QCheckBox *autorun = form_field<QCheckBox>(panel, "autorun:");

    Session() { window->show(); }
    QAction *action(const QString &text) const { return find_text<QAction>(window.get(), text); }
    bool connected() const { return action("Connect")->isChecked() && tdc->is_initialized(); }
    void mode(bool accumulating, bool automatic) {
        for (auto [box, on] : {std::pair{accumulate, accumulating}, {autorun, automatic}})
            if (box->isChecked() != on)
                box->click();
    }
    // Presses start and waits for the run's end: its exposures, or -1 if it never ends.
    int run() {
        completions.clear();
        QTest::mouseClick(start, Qt::LeftButton);
        auto ended = [this] { return start->isEnabled() && !stop->isEnabled(); };
        return QTest::qWaitFor(ended, 30000) ? completions.count() : -1;
    }
    // Exports as name.txt through the File menu, a fresh name confirmed: the rates file's lines.
    QStringList export_to(ModalAnswerer &modals, const QString &name,
                          const QString &entry = "&Export") {
        modals.expect<QFileDialog>("Save Data", QDir::current().absoluteFilePath(name + ".txt"));
        if (!QFileInfo::exists(name + "_rates.txt"))
            modals.expect<QMessageBox>("Export Files", QMessageBox::Save);
        action(entry)->trigger();
        modals.forget("Export Files");
        return QString(read_all(name + "_rates.txt")).split('\n', Qt::SkipEmptyParts);
    }
};

#endif // E2EHELPERS_H
