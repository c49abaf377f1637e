#ifndef REMOTECONTROLDIALOG_H
#define REMOTECONTROLDIALOG_H

#include <QDialog>
#include <QString>
#include <QStringList>

class QCheckBox;
class QLabel;
class QSpinBox;

// Device -> Remote Control...: switches the SCPI interface on and off and
// shows who is connected. The dialog only edits the choice; whoever owns
// the interface applies it and reports back what happened.
class RemoteControlDialog : public QDialog {
    Q_OBJECT
public:
    explicit RemoteControlDialog(QWidget *parent = nullptr);

    void set_values(bool enabled, int port, bool allow_others);
    void set_status(const QString &text);
    void set_clients(const QStringList &peers);

    bool remote_enabled() const;
    int port() const;
    bool allow_others() const;

signals:
    void apply_requested(bool enabled, int port, bool allow_others);

private:
    void update_warning();

    QCheckBox *ck_enabled;
    QSpinBox *sb_port;
    QCheckBox *ck_allow_others;
    QLabel *lb_warning;
    QLabel *lb_status;
    QLabel *lb_clients;
};

#endif // REMOTECONTROLDIALOG_H
