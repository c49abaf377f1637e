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
#include <QTimer>
#include <QtTest>

#include <algorithm>
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
// a test: message boxes are closed, other dialogs rejected; both are recorded.
class ModalAnswerer {
public:
    QStringList box_texts;
    QStringList dialog_titles;

    ModalAnswerer() {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start();
    }

private:
    void answer() {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            box_texts << box->text();
            box->done(QMessageBox::Ok);
        } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            dialog_titles << dialog->windowTitle();
            dialog->reject();
        }
    }

    QTimer timer;
};

// An About box of a build that carries another version number.
class VersionedAbout : public AboutDialog {
public:
    VersionedAbout(int major, int minor, int patch) : AboutDialog(nullptr, major, minor, patch) {}
    QString text() const { return findChildren<QLabel *>().value(1)->text(); }
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

QList<QPointer<QWidget>> top_level_windows(const QString &title) {
    QList<QPointer<QWidget>> found;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->windowTitle() == title)
            found << widget;
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
    void size_and_position_stored_and_restored();
    void maximized_stored_and_restored();
    void close_requests_quit_only_when_connected_data();
    void close_requests_quit_only_when_connected();
    void connection_loss_unchecks_connect();
    void child_windows_data();
    void child_windows();
    void about_dialog();
    void about_dialog_unversioned();
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
}

void TestApp::size_and_position_stored_and_restored() {
    // Larger than the hint in both directions, so no minimum size interferes.
    QSize stored;
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.pos(), QPoint(200, 200)); // the first start
        QCOMPARE(window.size(), window.sizeHint());
        stored = window.sizeHint() + QSize(60, 40);
        window.resize(stored);
        window.move(260, 240);
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
    const QList<QSpinBox *> boxes = again.findChildren<QSpinBox *>();
    QVERIFY2(std::any_of(boxes.begin(), boxes.end(), [](QSpinBox *b) { return b->value() == 250; }),
             "the panel's settings are loaded at start-up");
}

void TestApp::maximized_stored_and_restored() {
    {
        MainWindow window;
        window.showMaximized();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
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
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QVERIFY(again.size() != QSize(310, 220));
    QVERIFY(again.pos() != QPoint(17, 19));
}

void TestApp::close_requests_quit_only_when_connected_data() {
    QTest::addColumn<int>("toggles");
    QTest::newRow("connected") << 1;
    QTest::newRow("connected, then disconnected") << 2;
}

void TestApp::close_requests_quit_only_when_connected() {
    QFETCH(int, toggles);
    const bool connected = toggles == 1;
    FakeOxTdc &fake = FakeOxTdc::instance();
    MainWindow window;
    QSignalSpy quit(&window, &MainWindow::quit_requested);
    QSignalSpy children(&window, &MainWindow::close_children);
    QAction *connect = connect_action(window);
    for (int i = 0; i < toggles; ++i)
        connect->trigger();
    QCOMPARE(connect->isChecked(), connected);
    QCOMPARE(fake.count("ox_tdc_init_inifile"), 1);
    QCOMPARE(fake.count("ox_tdc_deinit2"), connected ? 0 : 1);
    QCOMPARE(window.statusBar()->currentMessage(),
             QString(connected ? "Device is initialized" : "Device is deinitialized"));

    QVERIFY(window.close());
    QCOMPARE(quit.count(), connected ? 1 : 0);
    if (connected)
        QCOMPARE(quit.at(0).at(0).toBool(), false);
    QCOMPARE(children.count(), 1);
    // The device is closed before the window goes, not when it is destroyed.
    QCOMPARE(fake.count("ox_tdc_deinit2"), 1);
    QVERIFY(answerer->box_texts.isEmpty());
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
    QVERIFY(start && start->isEnabled());
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
    emit window.findChild<TdcIface *>()->connection_lost();
    QVERIFY(!connect->isChecked());
    // Checking "Connect" from code opens nothing; only the menu choice does.
    connect->setChecked(true);
    QCOMPARE(fake.count("ox_tdc_init_inifile"), 2);
}

void TestApp::child_windows_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("close_window");
    QTest::addColumn<bool>("survive_close");
    const QString shifts = "Velmora: Edit Channel Shifts";
    QTest::newRow("shift editors, window closed")
        << "Edit Channel Shifts" << shifts << true << false;
    // An editor holds the device interface, which goes with the window: it
    // must not outlive the window even when the window never saw a close.
    QTest::newRow("shift editors, window destroyed unclosed")
        << "Edit Channel Shifts" << shifts << false << false;
    QTest::newRow("licences, window closed") << "Licenses"
                                             << "Velmora : Licenses" << true << true;
}

// Each choice opens another parentless window; closing one only hides it; they
// go with the main window's close or, at the latest, with the main window.
void TestApp::child_windows() {
    QFETCH(QString, entry);
    QFETCH(QString, title);
    QFETCH(bool, close_window);
    QFETCH(bool, survive_close);
    QList<QPointer<QWidget>> windows;
    {
        MainWindow window;
        QAction *action = find_action(window, entry == "Licenses" ? "&About" : "&Device", entry);
        action->trigger();
        action->trigger();
        windows = top_level_windows(title);
        QCOMPARE(windows.size(), 2);
        for (const auto &child : windows) {
            QVERIFY(child->isVisible());
            QVERIFY(!child->isModal());
            QVERIFY(!child->parent());
            if (entry == "Licenses")
                QCOMPARE(child->size(), QSize(600, 600));
        }

        windows[0]->close();
        flush_deferred_deletes();
        QVERIFY(windows[0] && !windows[0]->isVisible());
        QVERIFY(windows[1]->isVisible());
        if (close_window) {
            QVERIFY(window.close());
            flush_deferred_deletes();
            QCOMPARE(bool(windows[0]), survive_close);
            QCOMPARE(bool(windows[1]), survive_close);
            if (survive_close)
                QVERIFY(windows[1]->isVisible());
        }
    }
    flush_deferred_deletes();
    QVERIFY(!windows[0] && !windows[1]);
}

void TestApp::about_dialog() {
    MainWindow window;
    find_action(window, "&About", "About Velmora")->trigger();
    QCOMPARE(answerer->dialog_titles, QStringList{"About velmora application"});
    flush_deferred_deletes();
    QVERIFY(top_level_windows("About velmora application").isEmpty()); // gone after its run

    AboutDialog about(nullptr);
    const QList<QLabel *> labels = about.findChildren<QLabel *>();
    QCOMPARE(labels.size(), 2);
    QVERIFY(labels[0]->text().isEmpty());
    const QPixmap logo = labels[0]->pixmap(Qt::ReturnByValue);
    QCOMPARE(logo.size(), QSize(400, 106));
    QVERIFY(logo.hasAlphaChannel());
    QCOMPARE(labels[1]->textFormat(), Qt::RichText);
    QCOMPARE(labels[1]->text(), QString("This program is designed to demonstrate basic<br>\n"
                                        "functionalities of the Corvane TDC hardware.<br>\n"
                                        "<br>\nVelmora Version: 3.0.8<br>\n<br>\n"
                                        "Velmora is based in part on the work of<br>\n"
                                        "the Qwt project (<a href='https://qwt-project.org/'>"
                                        "https://qwt-project.org/</a>)"));
}

void TestApp::about_dialog_unversioned() {
    const QString text = VersionedAbout(0, 4, 2).text();
    QVERIFY(text.contains("<br>\nVelmora Unversioned.<br>\n"));
    QVERIFY(!text.contains("Version:"));
    // No field width or padding in the version number.
    QVERIFY(VersionedAbout(12, 10, 0).text().contains("Velmora Version: 12.10.0<br>"));
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
    const QStringList files = {"note1.txt", "license_lgpl.txt", "license_gpl.txt"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(tabs->tabText(i), titles[i]);
        tabs->setCurrentIndex(i);
        auto *view = qobject_cast<QPlainTextEdit *>(tabs->widget(i));
        QVERIFY(view);
        QVERIFY(view->isReadOnly());
        QApplication::processEvents();

        // The whole text is there, shown from its first line.
        const QString expected = resource_text(":/rsrc/about_licenses/" + files[i]);
        QVERIFY(expected.size() > 400);
        const QString shown = view->toPlainText();
        QCOMPARE(QString(shown).remove('\r'), QString(expected).remove('\r'));
        QCOMPARE(view->textCursor().position(), 0);
        QCOMPARE(view->verticalScrollBar()->value(), 0);
        if (i > 0)
            QVERIFY2(view->verticalScrollBar()->maximum() > 0, "a licence text needs scrolling");

        // Typing changes nothing.
        view->setFocus();
        QTest::keyClicks(view, "typed");
        QTest::keyClick(view, Qt::Key_Delete);
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
    QVERIFY(logo && logo->pixmap(Qt::ReturnByValue).isNull());
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

    // Transparent background, something drawn on it.
    const QImage logo(":/rsrc/logo.png");
    QCOMPARE(logo.size(), QSize(400, 106));
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
        if (i > 1)
            QVERIFY(text.contains("Version 3, 29 June 2007"));
    }
    const QString note = resource_text(paths[1]);
    QVERIFY(note.count("\r\n") >= 8 && note.count("\r\n") <= 14);
    QVERIFY(note.contains("4b"));
    QVERIFY(resource_text(paths[3]).contains("END OF TERMS AND CONDITIONS"));
}

void TestApp::screenshots() {
    if (qEnvironmentVariableIsEmpty("VELMORA_SCREENSHOT_DIR"))
        QSKIP("set VELMORA_SCREENSHOT_DIR to write the screenshots");
    MainWindow window;
    AboutDialog about(nullptr);
    AboutLicensesDlg licenses(nullptr);
    for (QWidget *widget : {static_cast<QWidget *>(&window), static_cast<QWidget *>(&about),
                            static_cast<QWidget *>(&licenses)}) {
        widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(widget));
    }
    emit qobject_cast<Mwidget *>(window.centralWidget())->show_this("Device is deinitialized");
    save_grab(&window, "mainwindow");
    save_grab(&about, "about");
    save_grab(&licenses, "licenses_note");
    licenses.findChild<QTabWidget *>()->setCurrentIndex(2);
    QApplication::processEvents();
    save_grab(&licenses, "licenses_gpl");
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
