#ifndef MHISTOTOOLBAR_H
#define MHISTOTOOLBAR_H

#include <QWidget>

class QComboBox;
class QSpinBox;

// The row of controls under the histogram plot: y-autoscaling mode and curve
// line width. It only emits signals; the panel wires them to the plot.
class MhistoToolbar : public QWidget {
    Q_OBJECT
public:
    explicit MhistoToolbar(QWidget *parent);
    ~MhistoToolbar() override;

    // Shows the count scale chosen elsewhere (the settings); emits
    // log_counts_changed when it differs.
    void set_log_counts(bool log);

signals:
    void auto_scaling_y_changed(int mode);
    void linewidth_changed(int width);
    void log_counts_changed(bool log);

private slots:
    void slot_cb_y_auto_scaling(int);

private:
    QComboBox *cb_y_auto_scaling;
    QSpinBox *sb_linewidth;
    QComboBox *cb_y_scale;
};

#endif // MHISTOTOOLBAR_H
