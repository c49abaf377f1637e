// The application shell: the main window's menus, connections, status bar and
// geometry, the About dialog and the licence windows, and the compiled-in
// resources they show. The device is the library's test double.

#include "aboutdialog.h"
#include "aboutlicensesdlg.h"
#include "fakeoxtdc.h"
#include "mainwindow.h"
#include "mwidget.h"
#include "panelchannelcorrections.h"
#include "tdciface.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QResource>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextDocument>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

static void unregister_resources() {
    Q_CLEANUP_RESOURCE(velmora);
}
static void register_resources() {
    Q_INIT_RESOURCE(velmora);
}

namespace {

const char *const org = "Corvane";
const char *const app = "VelmoraV2";

// Answers every modal window that opens while it lives, so that no box blocks
// a test: message boxes are recorded and closed, any other modal window is
// handed to `on_modal` (which must close it) or rejected.
class ModalAnswerer {
public:
    std::function<void(QWidget *)> on_modal;
    QStringList box_titles;
    QStringList box_texts;

    ModalAnswerer() {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start();
    }

private:
    void answer() {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            box_titles << box->windowTitle();
            box_texts << box->text();
            box->done(QMessageBox::Ok);
        } else if (on_modal) {
            on_modal(modal);
        } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            dialog->reject();
        }
    }

    QTimer timer;
};

// An About box of a build that carries another version number.
class VersionedAbout : public AboutDialog {
public:
    VersionedAbout(int major, int minor, int patch) : AboutDialog(nullptr, major, minor, patch) {}
};

QAction *find_action(QMainWindow &window, const QString &menu_title, const QString &text) {
    for (QAction *menu_action : window.menuBar()->actions()) {
        if (menu_action->text() != menu_title || !menu_action->menu())
            continue;
        for (QAction *action : menu_action->menu()->actions())
            if (action->text() == text)
                return action;
    }
    return nullptr;
}

QAction *connect_action(QMainWindow &window) {
    return find_action(window, "&Device", "Connect");
}

template <class T> QList<T *> top_level_windows() {
    QList<T *> found;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *typed = qobject_cast<T *>(widget))
            found << typed;
    return found;
}

void flush_deferred_deletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString resource_text(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// Screenshots for a person to look at, written only when asked for.
void save_grab(QWidget *widget, const QString &name) {
    const QString dir = qEnvironmentVariable("VELMORA_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    QVERIFY(widget->grab().save(dir + "/" + name + ".png"));
}

} // namespace

class TestApp : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void menus_in_order();
    void status_bar_shows_panel_texts();
    void first_start_geometry();
    void size_and_position_stored_and_restored();
    void maximized_stored_and_restored();
    void close_with_connect_checked_closes_device();
    void close_with_connect_unchecked_requests_nothing();
    void connection_loss_unchecks_connect();
    void channel_shift_editors_go_with_close();
    void channel_shift_editors_go_with_window();
    void about_dialog_from_menu();
    void about_dialog_unversioned();
    void licence_windows_from_menu();
    void licence_tabs_read_only_from_top();
    void missing_resources();
    void resources_stored_uncompressed_with_crlf();
    void screenshots();

private:
    std::unique_ptr<ModalAnswerer> answerer;
};

void TestApp::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
}

void TestApp::init() {
    QSettings(org, app).clear();
    FakeOxTdc::instance().reset();
    answerer = std::make_unique<ModalAnswerer>();
}

void TestApp::cleanup() {
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (!widget->parentWidget() && (qobject_cast<AboutLicensesDlg *>(widget) ||
                                        qobject_cast<PanelChannelCorrections *>(widget)))
            widget->deleteLater();
    flush_deferred_deletes();
    answerer.reset();
    QSettings(org, app).clear();
}

void TestApp::menus_in_order() {
    MainWindow window;
    QCOMPARE(window.windowTitle(), QString("Velmora"));

    const QList<QPair<QString, QStringList>> expected = {
        {"&File", {"&Export", "E&xport (filter zeros)", "Quit"}},
        {"&Device", {"Connect", "Control DS3902 Potentiometer", "Edit Channel Shifts"}},
        {"&Tools", {"AverageTime"}},
        {"&About", {"About Velmora", "About Qt", "Licenses"}},
    };
    const QList<QAction *> menus = window.menuBar()->actions();
    QCOMPARE(menus.size(), expected.size());
    for (int m = 0; m < menus.size(); ++m) {
        QCOMPARE(menus[m]->text(), expected[m].first);
        QVERIFY(menus[m]->menu());
        QStringList entries;
        for (QAction *action : menus[m]->menu()->actions()) {
            entries << action->text();
            QCOMPARE(action->isCheckable(), action->text() == "Connect");
        }
        QCOMPARE(entries, expected[m].second);
    }
    QVERIFY(!connect_action(window)->isChecked());
    QVERIFY(qobject_cast<Mwidget *>(window.centralWidget()));
    QVERIFY(window.findChild<QStatusBar *>());
}

void TestApp::status_bar_shows_panel_texts() {
    MainWindow window;
    auto *panel = qobject_cast<Mwidget *>(window.centralWidget());
    QVERIFY(panel);
    emit panel->show_this("exposure running");
    QCOMPARE(window.statusBar()->currentMessage(), QString("exposure running"));
    // A state text stays until the next one replaces it.
    QTest::qWait(50);
    QCOMPARE(window.statusBar()->currentMessage(), QString("exposure running"));
    emit panel->show_this("Device is initialized");
    QCOMPARE(window.statusBar()->currentMessage(), QString("Device is initialized"));
}

void TestApp::first_start_geometry() {
    MainWindow window;
    QCOMPARE(window.pos(), QPoint(200, 200));
    QCOMPARE(window.size(), window.sizeHint());
    QVERIFY(!window.isMaximized());
}

void TestApp::size_and_position_stored_and_restored() {
    QSize stored;
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // Larger than the hint in both directions, so no minimum size interferes.
        stored = window.sizeHint() + QSize(60, 40);
        window.resize(stored);
        window.move(260, 240);
        QCOMPARE(window.size(), stored);
        QVERIFY(window.close());
    }
    QSettings settings(org, app);
    QCOMPARE(settings.value("size/size").toSize(), stored);
    QCOMPARE(settings.value("size/position").toPoint(), QPoint(260, 240));
    QCOMPARE(settings.value("size/maximized").toBool(), false);
    // The panel's parameters are written in the same settings under its prefix.
    QCOMPARE(settings.value("mwidget/exposure").toInt(), 100);
    QVERIFY(settings.contains("mwidget/event_threshold"));

    settings.setValue("mwidget/exposure", 250);
    settings.sync();
    MainWindow again;
    QCOMPARE(again.size(), stored);
    QCOMPARE(again.pos(), QPoint(260, 240));
    QVERIFY(!again.isMaximized());
    QSpinBox *exposure = nullptr;
    for (QSpinBox *box : again.findChildren<QSpinBox *>())
        if (box->value() == 250)
            exposure = box;
    QVERIFY2(exposure, "the panel's settings are loaded at start-up");
}

void TestApp::maximized_stored_and_restored() {
    {
        MainWindow window;
        window.showMaximized();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.isMaximized());
        window.close();
    }
    QSettings settings(org, app);
    QCOMPARE(settings.value("size/maximized").toBool(), true);

    // The stored size and position do not matter for a maximized start.
    settings.setValue("size/size", QSize(310, 220));
    settings.setValue("size/position", QPoint(17, 19));
    settings.sync();
    MainWindow again;
    QVERIFY(again.isMaximized());
    QVERIFY(again.isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QVERIFY(again.size() != QSize(310, 220));
    QVERIFY(again.pos() != QPoint(17, 19));
}

void TestApp::close_with_connect_checked_closes_device() {
    FakeOxTdc &fake = FakeOxTdc::instance();
    MainWindow window;
    QSignalSpy quit(&window, &MainWindow::quit_requested);
    QSignalSpy children(&window, &MainWindow::close_children);
    QAction *connect = connect_action(window);
    connect->trigger();
    QVERIFY(connect->isChecked());
    QCOMPARE(fake.count("ox_tdc_init_inifile"), 1);
    QCOMPARE(window.statusBar()->currentMessage(), QString("Device is initialized"));
    QCOMPARE(fake.count("ox_tdc_deinit2"), 0);

    QVERIFY(window.close());
    QCOMPARE(quit.count(), 1);
    QCOMPARE(quit.at(0).at(0).toBool(), false);
    QCOMPARE(children.count(), 1);
    // The device is closed before the window goes, not when it is destroyed.
    QCOMPARE(fake.count("ox_tdc_deinit2"), 1);
    QVERIFY(answerer->box_texts.isEmpty());
}

void TestApp::close_with_connect_unchecked_requests_nothing() {
    FakeOxTdc &fake = FakeOxTdc::instance();
    MainWindow window;
    QSignalSpy quit(&window, &MainWindow::quit_requested);
    QSignalSpy children(&window, &MainWindow::close_children);

    // Opened and closed again from the menu: unchecked at the close.
    QAction *connect = connect_action(window);
    connect->trigger();
    connect->trigger();
    QVERIFY(!connect->isChecked());
    QCOMPARE(fake.count("ox_tdc_deinit2"), 1);
    QCOMPARE(window.statusBar()->currentMessage(), QString("Device is deinitialized"));

    QVERIFY(window.close());
    QCOMPARE(quit.count(), 0);
    QCOMPARE(children.count(), 1);
    QCOMPARE(fake.count("ox_tdc_deinit2"), 1);

    // Checking "Connect" from code opens nothing.
    connect->setChecked(true);
    QCOMPARE(fake.count("ox_tdc_init_inifile"), 1);
}

void TestApp::connection_loss_unchecks_connect() {
    FakeOxTdc &fake = FakeOxTdc::instance();
    MainWindow window;
    QAction *connect = connect_action(window);
    connect->trigger();
    QVERIFY(connect->isChecked());

    // The device vanishes at the next start.
    fake.queue_result("ox_tdc_start_measure2", OX_ERR_CONNECTION_LOST);
    fake.set_error_text(OX_ERR_CONNECTION_LOST, "connection to the device lost");
    QPushButton *start = nullptr;
    for (QPushButton *button : window.findChildren<QPushButton *>())
        if (button->text() == "start")
            start = button;
    QVERIFY(start);
    QVERIFY(start->isEnabled());
    start->click();
    QVERIFY(!connect->isChecked());
    QCOMPARE(answerer->box_texts, QStringList{"connection to the device lost"});

    // Choosing "Connect" again opens the device again.
    connect->trigger();
    QVERIFY(connect->isChecked());
    QCOMPARE(fake.count("ox_tdc_init_inifile"), 2);
    QCOMPARE(answerer->box_texts.size(), 1);

    // A loss reported while unchecked leaves it unchecked.
    connect->trigger();
    QVERIFY(!connect->isChecked());
    emit window.findChild<TdcIface *>()->connection_lost();
    QVERIFY(!connect->isChecked());
}

void TestApp::channel_shift_editors_go_with_close() {
    MainWindow window;
    QAction *shifts = find_action(window, "&Device", "Edit Channel Shifts");
    QVERIFY(shifts);
    shifts->trigger();
    shifts->trigger();
    const QList<PanelChannelCorrections *> editors = top_level_windows<PanelChannelCorrections>();
    QCOMPARE(editors.size(), 2);
    QList<QPointer<PanelChannelCorrections>> watched;
    for (PanelChannelCorrections *editor : editors) {
        QCOMPARE(editor->windowTitle(), QString("Velmora: Edit Channel Shifts"));
        QVERIFY(editor->isVisible());
        QVERIFY(!editor->parent());
        watched << editor;
    }

    // Closing an editor only hides it; the main window's close deletes every one.
    watched[0]->close();
    flush_deferred_deletes();
    QVERIFY(watched[0]);
    QVERIFY(window.close());
    flush_deferred_deletes();
    QVERIFY(!watched[0]);
    QVERIFY(!watched[1]);
}

void TestApp::channel_shift_editors_go_with_window() {
    // An editor holds the device interface, which goes with the window: it
    // must not outlive the window even when the window never saw a close.
    QPointer<PanelChannelCorrections> editor;
    {
        MainWindow window;
        find_action(window, "&Device", "Edit Channel Shifts")->trigger();
        editor = top_level_windows<PanelChannelCorrections>().value(0);
        QVERIFY(editor);
    }
    flush_deferred_deletes();
    QVERIFY(!editor);
}

void TestApp::about_dialog_from_menu() {
    MainWindow window;
    QString title, text;
    QSize logo_size;
    bool logo_alpha = false;
    int frame_style = 0;
    bool opens_links = true;
    Qt::TextFormat format = Qt::PlainText;
    QPointer<QWidget> seen;
    int label_count = 0;
    QString logo_label_text = "unset";
    answerer->on_modal = [&](QWidget *modal) {
        auto *about = qobject_cast<AboutDialog *>(modal);
        auto *dialog = qobject_cast<QDialog *>(modal);
        if (dialog && !about)
            dialog->reject();
        if (!about)
            return;
        seen = about;
        title = about->windowTitle();
        const QList<QLabel *> labels = about->findChildren<QLabel *>();
        label_count = labels.size();
        if (label_count == 2) {
            const QPixmap logo = labels[0]->pixmap(Qt::ReturnByValue);
            logo_size = logo.size();
            logo_alpha = logo.hasAlphaChannel();
            logo_label_text = labels[0]->text();
            text = labels[1]->text();
            frame_style = labels[1]->frameStyle();
            format = labels[1]->textFormat();
            opens_links = labels[1]->openExternalLinks();
        }
        save_grab(about, "about_from_menu");
        about->accept();
    };
    find_action(window, "&About", "About Velmora")->trigger();

    // The modal run ended and the dialog is gone.
    QVERIFY(title.size() > 0);
    QVERIFY(!seen);
    QCOMPARE(title, QString("About velmora application"));
    QCOMPARE(label_count, 2);
    QVERIFY(logo_label_text.isEmpty());
    QCOMPARE(logo_size, QSize(400, 106));
    QVERIFY(logo_alpha);
    QCOMPARE(frame_style, 0x32);
    QCOMPARE(format, Qt::RichText);
    QVERIFY(!opens_links);
    QCOMPARE(text, QString("This program is designed to demonstrate basic<br>\n"
                           "functionalities of the Corvane TDC hardware.<br>\n"
                           "<br>\nVelmora Version: 3.0.8<br>\n<br>\n"
                           "Velmora is based in part on the work of<br>\n"
                           "the Qwt project (<a href='https://qwt-project.org/'>"
                           "https://qwt-project.org/</a>)"));

    QTextDocument shown;
    shown.setHtml(text);
    QCOMPARE(shown.toPlainText().split('\n'),
             QStringList({"This program is designed to demonstrate basic",
                          "functionalities of the Corvane TDC hardware.", "",
                          "Velmora Version: 3.0.8", "", "Velmora is based in part on the work of",
                          "the Qwt project (https://qwt-project.org/)"}));
}

void TestApp::about_dialog_unversioned() {
    VersionedAbout unversioned(0, 4, 2);
    const QString text = unversioned.findChildren<QLabel *>().value(1)->text();
    QVERIFY(text.contains("<br>\nVelmora Unversioned.<br>\n"));
    QVERIFY(!text.contains("Version:"));

    // No field width or padding in the version number.
    VersionedAbout later(12, 10, 0);
    QVERIFY(
        later.findChildren<QLabel *>().value(1)->text().contains("Velmora Version: 12.10.0<br>"));
}

void TestApp::licence_windows_from_menu() {
    QPointer<AboutLicensesDlg> first, second;
    {
        MainWindow window;
        QAction *licenses = find_action(window, "&About", "Licenses");
        licenses->trigger();
        licenses->trigger();
        const QList<AboutLicensesDlg *> windows = top_level_windows<AboutLicensesDlg>();
        QCOMPARE(windows.size(), 2);
        first = windows[0];
        second = windows[1];
        for (AboutLicensesDlg *dlg : windows) {
            QVERIFY(dlg->isVisible());
            QVERIFY(!dlg->isModal());
            QVERIFY(!dlg->parent());
            QCOMPARE(dlg->windowTitle(), QString("Velmora : Licenses"));
            QCOMPARE(dlg->size(), QSize(600, 600));
        }

        // Closing one hides only that one; closing the main window leaves both.
        first->close();
        flush_deferred_deletes();
        QVERIFY(first && !first->isVisible());
        QVERIFY(second->isVisible());
        window.close();
        flush_deferred_deletes();
        QVERIFY(first && second);
        QVERIFY(second->isVisible());
    }
    // Destroying the main window deletes them.
    flush_deferred_deletes();
    QVERIFY(!first);
    QVERIFY(!second);
}

void TestApp::licence_tabs_read_only_from_top() {
    AboutLicensesDlg dlg(nullptr);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    auto *tabs = dlg.findChild<QTabWidget *>();
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->currentIndex(), 0);
    const QStringList titles = {"Licenses", "LGPL v3", "GPL v3"};
    const QStringList resources = {":/rsrc/about_licenses/note1.txt",
                                   ":/rsrc/about_licenses/license_lgpl.txt",
                                   ":/rsrc/about_licenses/license_gpl.txt"};
    const QStringList first_lines = {"Velmora uses the Qt library, which it may use under the",
                                     "                   GNU LESSER GENERAL PUBLIC LICENSE",
                                     "                    GNU GENERAL PUBLIC LICENSE"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(tabs->tabText(i), titles[i]);
        tabs->setCurrentIndex(i);
        auto *view = qobject_cast<QPlainTextEdit *>(tabs->widget(i));
        QVERIFY(view);
        QVERIFY(view->isReadOnly());
        QApplication::processEvents();

        // The whole text is there, shown from its first line.
        const QString expected = resource_text(resources[i]);
        QVERIFY(expected.size() > 400);
        const QString shown = view->toPlainText();
        QCOMPARE(shown.split('\n').value(0).remove('\r'), first_lines[i]);
        QCOMPARE(QString(shown).remove('\r'), QString(expected).remove('\r'));
        QCOMPARE(view->textCursor().position(), 0);
        QCOMPARE(view->verticalScrollBar()->value(), 0);
        if (i > 0)
            QVERIFY2(view->verticalScrollBar()->maximum() > 0, "a licence text needs scrolling");

        // Typing changes nothing.
        view->setFocus();
        QTest::keyClicks(view, "typed");
        QTest::keyClick(view, Qt::Key_Delete);
        QTest::keyClick(view, Qt::Key_Return);
        QCOMPARE(view->toPlainText(), shown);
    }
}

void TestApp::missing_resources() {
    // The collection comes back however this test ends.
    struct Reregister {
        ~Reregister() { register_resources(); }
    } reregister;
    unregister_resources();
    QVERIFY(!QFile::exists(":/rsrc/logo.png"));

    AboutLicensesDlg dlg(nullptr);
    auto *tabs = dlg.findChild<QTabWidget *>();
    QVERIFY(tabs);
    QStringList texts;
    for (int i = 0; i < tabs->count(); ++i)
        texts << qobject_cast<QPlainTextEdit *>(tabs->widget(i))->toPlainText();
    QCOMPARE(texts, QStringList({"unable to open :rsrc/about_licenses/note1.txt",
                                 "unable to open :rsrc/about_licenses/license_lgpl.txt",
                                 "unable to open :rsrc/about_licenses/license_gpl.txt"}));

    // A missing logo leaves its label empty and is not reported.
    AboutDialog about(nullptr);
    const QLabel *logo = about.findChildren<QLabel *>().value(0);
    QVERIFY(logo);
    QVERIFY(logo->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(answerer->box_texts.isEmpty());
}

void TestApp::resources_stored_uncompressed_with_crlf() {
    const QStringList paths = {":/rsrc/logo.png", ":/rsrc/about_licenses/note1.txt",
                               ":/rsrc/about_licenses/license_lgpl.txt",
                               ":/rsrc/about_licenses/license_gpl.txt"};
    for (const QString &path : paths) {
        QResource resource(path);
        QVERIFY2(resource.isValid(), qPrintable(path));
        QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    }

    const QImage logo(":/rsrc/logo.png");
    QCOMPARE(logo.size(), QSize(400, 106));
    QVERIFY(logo.hasAlphaChannel());
    // Transparent background, something drawn on it.
    QCOMPARE(qAlpha(logo.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(logo.pixel(399, 105)), 0);
    int opaque = 0;
    for (int y = 0; y < logo.height(); ++y)
        for (int x = 0; x < logo.width(); ++x)
            opaque += qAlpha(logo.pixel(x, y)) > 200;
    QVERIFY(opaque > 2000);

    for (int i = 1; i < paths.size(); ++i) {
        const QString text = resource_text(paths[i]);
        QVERIFY(text.endsWith("\r\n"));
        QCOMPARE(text.count("\n"), text.count("\r\n"));
    }
    const QString note = resource_text(paths[1]);
    const int note_lines = note.count("\r\n");
    QVERIFY(note_lines >= 8 && note_lines <= 14);
    QVERIFY(note.contains("4b"));
    QVERIFY(resource_text(paths[2]).contains("Version 3, 29 June 2007"));
    QVERIFY(resource_text(paths[3]).contains("Version 3, 29 June 2007"));
    QVERIFY(resource_text(paths[3]).contains("END OF TERMS AND CONDITIONS"));
}

void TestApp::screenshots() {
    if (qEnvironmentVariableIsEmpty("VELMORA_SCREENSHOT_DIR"))
        QSKIP("set VELMORA_SCREENSHOT_DIR to write the screenshots");
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    emit qobject_cast<Mwidget *>(window.centralWidget())->show_this("Device is deinitialized");
    save_grab(&window, "mainwindow");

    AboutDialog about(nullptr);
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    save_grab(&about, "about");

    AboutLicensesDlg licenses(nullptr);
    licenses.show();
    QVERIFY(QTest::qWaitForWindowExposed(&licenses));
    save_grab(&licenses, "licenses_note");
    licenses.findChild<QTabWidget *>()->setCurrentIndex(2);
    QApplication::processEvents();
    save_grab(&licenses, "licenses_gpl");
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
