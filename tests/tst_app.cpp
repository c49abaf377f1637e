// The application shell on the device library's double: closing, child windows, About, licences.

#include "app/aboutdialog.h"
#include "app/aboutlicensesdlg.h"
#include "app/framepacer.h"
#include "app/mainwindow.h"
#include "device/tdciface.h"
#include "plots/mhisto.h"
#include "remote/remoteserver.h"
#include "tests/e2ehelpers.h"
#include "tests/fakeoxtdc.h"
#include "tests/modalanswerer.h"
#include "tools/remotecontroldialog.h"

#include <QTcpSocket>
#include <QtTest>

namespace {

FakeOxTdc &lib = FakeOxTdc::instance();

QList<QPointer<QWidget>> windows_titled(const QString &title) {
    QList<QPointer<QWidget>> found;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->windowTitle() == title)
            found << widget;
    return found;
}

// Counts the paints of a label and keeps the text it last painted.
struct PaintCounter : QObject {
    explicit PaintCounter(QLabel *label) : label(label) { label->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
            painted_text = label->text();
        }
        return false;
    }
    QLabel *label;
    int paints = 0;
    QString painted_text;
};

} // namespace

class TestApp : public QObject {
    Q_OBJECT
    ModalAnswerer answerer;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() {
        QSettings("Corvane", "VelmoraV2").clear();
        lib.reset();
        answerer.take();
    }

    // Quit closes an open device once and hides every window; a lost device is not closed
    // again. A maximized window comes back maximized.
    void closing() {
        // c: the user chooses "Connect", l: the device is lost
        for (const QString steps : {"c", "cc", "cl"}) {
            init();
            MainWindow window;
            window.showMaximized();
            QSignalSpy quit(&window, &MainWindow::quit_requested);
            QAction *connect = find_text<QAction>(&window, "Connect");
            for (QChar step : steps)
                step == 'c' ? connect->trigger()
                            : emit window.findChild<TdcIface *>()->connection_lost();
            QCOMPARE(connect->isChecked(), steps == "c");
            for (const char *action : {"AverageTime", "Control DS3902 Potentiometer", "Quit"})
                find_text<QAction>(&window, action)->trigger();
            for (QWidget *w : QApplication::topLevelWidgets())
                QVERIFY2(!w->isVisible(), w->metaObject()->className());
            QCOMPARE(QList<QVariantList>(quit),
                     steps == "c" ? QList<QVariantList>{{false}} : QList<QVariantList>());
            QCOMPARE(lib.count("ox_tdc_init_inifile"), 1);
            QCOMPARE(lib.count("ox_tdc_deinit2"), int(steps != "cl"));
            QVERIFY(answerer.take().isEmpty() && MainWindow().isMaximized());
        }
    }

    // Parentless windows, one fit window following the plot's zoom, a modal About box; editors
    // go with the main window's close, the others with the window, none outlives the device.
    void child_windows() {
        QList<QPointer<QWidget>> editors, licences, fits;
        {
            MainWindow window;
            lib.set_corrections({0, 0});
            find_text<QAction>(&window, "Connect")->trigger();
            answerer.expect<QDialog>("About velmora application");
            find_text<QAction>(&window, "About Velmora")->trigger();
            QCOMPARE(answerer.take(), QStringList{"About velmora application: "});
            for (int i = 0; i < 2; ++i)
                for (const char *action : {"Edit Channel Shifts", "Licenses", "Lifetime Fit..."})
                    find_text<QAction>(&window, action)->trigger();
            editors = windows_titled("Velmora: Edit Channel Shifts");
            licences = windows_titled("Velmora : Licenses");
            fits = windows_titled("Velmora: Lifetime Fit");
            QCOMPARE(QList<int>({editors.size(), licences.size(), fits.size()}),
                     QList<int>({2, 2, 1}));
            // An editor's refused write is reported in the status bar.
            lib.set_error_text(-38, "out of range");
            lib.queue_result("ox_tdc_set_corrections2", -38);
            editors[1]->findChildren<QSpinBox *>()[1]->setValue(3);
            QCOMPARE(window.findChild<QLabel *>("lb_status")->text(),
                     QString("ch1: the device refused 3 and keeps 0: out of range"));
            QVERIFY(!editors[0]->parent() && !licences[0]->parent() && !fits[0]->parent());
            QVERIFY(!editors[0]->isModal() && fits[0]->isVisible());
            Mhisto *histo = window.findChild<Mhisto *>();
            histo->setAxisScale(QwtPlot::xBottom, 150.0, 300.0);
            histo->replot(); // as a zoom does
            find_text<QPushButton>(fits[0], "Range from Plot Zoom")->click();
            QCOMPARE(fits[0]->findChild<QDoubleSpinBox *>("sb_from")->value(), 150.0);
            QCOMPARE(fits[0]->findChild<QDoubleSpinBox *>("sb_to")->value(), 300.0);
            editors[0]->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY(editors[0] && !editors[0]->isVisible() && editors[1]->isVisible());
            QVERIFY(window.close());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY(!editors[0] && !editors[1] && licences[1]->isVisible() &&
                    !fits[0]->isVisible());
            find_text<QAction>(&window, "Edit Channel Shifts")->trigger(); // never closed
            editors = windows_titled("Velmora: Edit Channel Shifts");
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!licences[0] && !licences[1] && !editors.value(0) && !fits[0]);
    }

    // A 1366 x 768 screen (less the task bar) holds the window, the histograms taking the larger
    // share of the width; the status text and the lost-event warning sit side by side.
    void fits_a_laptop_screen() {
        MainWindow window;
        window.show();
        const QSize minimum = window.minimumSizeHint().expandedTo(window.minimumSize());
        QVERIFY2(minimum.width() <= 1366 && minimum.height() <= 728,
                 qPrintable(QString("%1 x %2").arg(minimum.width()).arg(minimum.height())));
        auto *histo = window.findChild<Mhisto *>();
        window.resize(1366 * 4 / 5, 728 * 4 / 5); // the first size on such a screen
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCoreApplication::processEvents();
        QVERIFY2(histo->width() > window.width() / 2, qPrintable(QString::number(histo->width())));
        auto *status = window.findChild<QLabel *>("lb_status");
        auto *warning = window.findChild<QLabel *>("lb_loss_warning");
        QVERIFY(status && warning);
        warning->setText("lost 371,093 events (0.41 %) in the last exposure, 371,093 in this run");
        window.statusBar()->showMessage("run finished");
        QCoreApplication::processEvents();
        QCOMPARE(status->text(), QString("run finished"));
        const QRect s = status->geometry(), w = warning->geometry();
        QVERIFY(!s.intersects(w) && s.width() > 0);
    }

    // The About box with logo and version; licence tabs show whole texts from the top,
    // read-only; a missing resource is said in its tab, a missing logo leaves its label empty.
    void about_and_licences() {
        AboutDialog about(nullptr);
        QVERIFY(!about.findChild<QLabel *>()->pixmap(Qt::ReturnByValue).isNull());
        QVERIFY(about.findChildren<QLabel *>().value(1)->text().contains(
            "<br>\nVelmora Version: " VELMORA_VERSION "<br>\n"));
        const QStringList files = {"note1.txt", "license_lgpl.txt", "license_gpl.txt"};
        for (bool missing : {false, true}) {
            if (missing)
                Q_CLEANUP_RESOURCE(velmora);
            AboutLicensesDlg dlg(nullptr);
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            auto *tabs = dlg.findChild<QTabWidget *>();
            for (int i = 0; i < files.size(); ++i) {
                QFile resource(":rsrc/about_licenses/" + files[i]);
                QString text = resource.open(QIODevice::ReadOnly)
                                   ? QString::fromUtf8(resource.readAll())
                                   : "unable to open " + resource.fileName();
                tabs->setCurrentIndex(i);
                QApplication::processEvents();
                auto *view = qobject_cast<QPlainTextEdit *>(tabs->widget(i));
                QCOMPARE(view->toPlainText().remove('\r'), text.remove('\r'));
                QVERIFY(view->isReadOnly() && view->verticalScrollBar()->value() == 0);
                QVERIFY(missing || i == 0 || view->verticalScrollBar()->maximum() > 0);
            }
        }
        QVERIFY(AboutDialog(nullptr).findChild<QLabel *>()->pixmap(Qt::ReturnByValue).isNull());
        Q_INIT_RESOURCE(velmora);
        QVERIFY(answerer.take().isEmpty());
    }

    // The dialog's choice is applied and kept; the dialog and the status bar show the client.
    void remote_dialog() {
        {
            MainWindow window;
            window.show();
            find_text<QAction>(&window, "Remote Control...")->trigger();
            auto *dialog = window.findChild<RemoteControlDialog *>();
            QVERIFY(dialog && dialog->isVisible());
            QCOMPARE(dialog->findChild<QLabel *>("lb_status")->text(), QString("off"));
            emit dialog->apply_requested(true, 0, false);
            RemoteServer *server = window.remote_server();
            QVERIFY(server->is_listening());
            QCOMPARE(server->address().toString(), QString("127.0.0.1"));
            QCOMPARE(dialog->findChild<QLabel *>("lb_status")->text(),
                     "listening on " + server->endpoint());
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, server->port());
            QTRY_COMPARE(dialog->findChild<QLabel *>("lb_clients")->text(), QString("127.0.0.1"));
            QCOMPARE(window.findChild<QLabel *>("lb_remote")->text(), QString("remote: 127.0.0.1"));
            client.write("*IDN?\n");
            QTRY_VERIFY(client.canReadLine());
            QVERIFY(client.readLine().startsWith("Velmora,oxTDC1,0,"));
            client.disconnectFromHost();
            QTRY_COMPARE(window.findChild<QLabel *>("lb_remote")->text(), QString());
        }
        // Kept: the next start listens again, on the stored choice.
        MainWindow window;
        window.start_remote(std::nullopt);
        QVERIFY(window.remote_server()->is_listening());
        QCOMPARE(window.remote_server()->address().toString(), QString("127.0.0.1"));
    }

    // Changes within the interval are painted together when it is over: held back, never
    // dropped.
    void framePacing() {
        for (int interval_ms : {60000, 20}) {
            QWidget window;
            auto *child = new QLabel("0", &window);
            PaintCounter counter(child);
            new FramePacer(&window, interval_ms);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QTRY_VERIFY(counter.paints > 0);
            const int before = counter.paints;
            for (const char *text : {"1", "2"}) {
                child->setText(text);
                QCoreApplication::processEvents();
            }
            if (interval_ms > 1000)
                QVERIFY(counter.paints <= before + 1);
            else
                QTRY_COMPARE(counter.painted_text, QString("2"));
        }
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
