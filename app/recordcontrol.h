#ifndef RECORDCONTROL_H
#define RECORDCONTROL_H

#include <QObject>
#include <QString>

class EventRecorder;
class QAction;
class QLabel;
class QWidget;
class RunController;
class TdcIface;

// File → "Record Events...": asks for a new file, records every event of
// every run into it until chosen again, and keeps the status bar's recording
// text (file, events written, events missing) up to date.
class RecordControl : public QObject {
    Q_OBJECT
public:
    // `window` parents the dialogs; the settings (deflate level) are read
    // from QSettings(org, app).
    RecordControl(TdcIface *tdc, RunController *run, QWidget *window, const QString &org,
                  const QString &app);
    ~RecordControl() override;

    QAction *action() const { return act_record; }
    QLabel *status_label() const { return lb_recording; }
    EventRecorder *recorder() const { return event_recorder; }

    // The device configuration whose text goes into every recording.
    static QString configuration_file() { return QStringLiteral("tdc_qv5.ini"); }

    // Recording into a new file as the menu does, for other controls (the
    // remote interface): an empty answer, or why it did not start.
    QString start_recording(const QString &path);
    void stop_recording();

signals:
    void show_this(const QString &text);

private:
    void toggled(bool on);
    // A new file's path, or empty when the user gave up.
    QString ask_for_file();
    QString begin(const QString &path);
    void end(const QString &why);
    void show_counts(quint64 written, quint64 missing);

    QWidget *window;
    QString org_name;
    QString app_name;
    QAction *act_record;
    QLabel *lb_recording;
    EventRecorder *event_recorder;
};

#endif // RECORDCONTROL_H
