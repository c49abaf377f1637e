#include "app/recordcontrol.h"

#include "device/tdciface.h"
#include "recording/eventrecorder.h"
#include "run/runcontroller.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>

namespace {
const char *const key_deflate_level = "recording/deflate_level";
const char *const key_folder = "recording/folder";
} // namespace

RecordControl::RecordControl(TdcIface *tdc, RunController *run, QWidget *parent_window,
                             const QString &org, const QString &app)
    : QObject(parent_window), window(parent_window), org_name(org), app_name(app) {
    act_record = new QAction(QStringLiteral("Record Events..."), this);
    act_record->setCheckable(true);
    lb_recording = new QLabel(parent_window);
    lb_recording->setObjectName(QStringLiteral("lb_recording"));
    lb_recording->hide();
    // The device interface may go first when the window is destroyed.
    event_recorder = new EventRecorder(
        [device = QPointer<TdcIface>(tdc)](EventQueue *queue) -> uint64_t {
            if (!device)
                return 0;
            device->set_event_queue(queue);
            return device->exposures_started() + 1;
        },
        this);
    connect(act_record, &QAction::triggered, this, &RecordControl::toggled);
    connect(run, &RunController::exposure_completed, event_recorder, &EventRecorder::add_exposure);
    connect(event_recorder, &EventRecorder::progress, this, &RecordControl::show_counts);
    connect(event_recorder, &EventRecorder::failed, this, &RecordControl::end);
}

RecordControl::~RecordControl() {
    event_recorder->stop();
}

void RecordControl::toggled(bool on) {
    if (!on) {
        end(QString());
        return;
    }
    const QString path = ask_for_file();
    if (path.isEmpty()) {
        act_record->setChecked(false);
        return;
    }
    begin(path);
}

QString RecordControl::ask_for_file() {
    QSettings settings(org_name, app_name);
    QString folder = settings.value(key_folder, QDir::homePath()).toString();
    for (;;) {
        QFileDialog dialog(window, QStringLiteral("Record Events"), folder,
                           QStringLiteral("HDF5 event recordings (*.h5)"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("h5"));
        // A recording never replaces a file: the question below says so
        // instead of the dialog offering to overwrite.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        QString path = dialog.selectedFiles().constFirst();
        if (QFileInfo(path).suffix().isEmpty())
            path += QStringLiteral(".h5");
        folder = QFileInfo(path).absolutePath();
        settings.setValue(key_folder, folder);
        if (!QFileInfo::exists(path))
            return path;
        QMessageBox::warning(window, QStringLiteral("Record Events"),
                             QStringLiteral("%1 exists already. A recording always goes to a new "
                                            "file: choose another name.")
                                 .arg(QFileInfo(path).fileName()));
    }
}

QString RecordControl::start_recording(const QString &path) {
    return begin(path);
}

void RecordControl::stop_recording() {
    end(QString());
}

QString RecordControl::begin(const QString &path) {
    QSettings settings(org_name, app_name);
    const int level = settings.value(key_deflate_level, 1).toInt();
    RecordingHeader header;
    header.program = "Velmora";
#ifdef VELMORA_VERSION
    header.program_version = VELMORA_VERSION;
#endif
    const QDateTime now = QDateTime::currentDateTime();
    header.created =
        now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs).toStdString();
    QFile configuration(configuration_file());
    if (configuration.open(QIODevice::ReadOnly))
        header.device_configuration = configuration.readAll().toStdString();
    const QString refusal = event_recorder->start(path, header, level);
    if (!refusal.isEmpty()) {
        act_record->setChecked(false);
        emit show_this(QStringLiteral("Recording not started: %1").arg(refusal));
        return refusal;
    }
    act_record->setChecked(true);
    show_counts(0, 0);
    lb_recording->show();
    emit show_this(QStringLiteral("Recording events to %1").arg(path));
    return QString();
}

void RecordControl::end(const QString &why) {
    if (!event_recorder->is_recording())
        return;
    const QString name = QFileInfo(event_recorder->file_name()).fileName();
    event_recorder->stop();
    act_record->setChecked(false);
    const QLocale locale;
    const QString summary = QStringLiteral("%1 events, %2 missing")
                                .arg(locale.toString(event_recorder->events_written()),
                                     locale.toString(event_recorder->events_missing()));
    lb_recording->setText(QStringLiteral("Recorded %1: %2").arg(name, summary));
    lb_recording->setStyleSheet(why.isEmpty() ? QString()
                                              : QStringLiteral("QLabel { color: #b00000; }"));
    emit show_this(why.isEmpty() ? QStringLiteral("Recording ended: %1, %2").arg(name, summary)
                                 : why);
}

void RecordControl::show_counts(quint64 written, quint64 missing) {
    const QLocale locale;
    const QString name = QFileInfo(event_recorder->file_name()).fileName();
    QString text = QStringLiteral("Recording %1: %2 events").arg(name, locale.toString(written));
    if (missing > 0)
        text += QStringLiteral(", %1 missing").arg(locale.toString(missing));
    lb_recording->setText(text);
    lb_recording->setStyleSheet(missing > 0 ? QStringLiteral("QLabel { color: #b00000; }")
                                            : QString());
}
