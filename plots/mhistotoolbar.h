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

signals:
    void auto_scaling_y_changed(int mode);
    void linewidth_changed(int width);

private slots:
    void slot_cb_y_auto_scaling(int);

private:
    QComboBox *cb_y_auto_scaling;
    QSpinBox *sb_linewidth;
};

#endif // MHISTOTOOLBAR_H
