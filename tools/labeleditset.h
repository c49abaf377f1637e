#ifndef LABELEDITSET_H
#define LABELEDITSET_H

#include <QString>
#include <QWidget>

class QSpinBox;
class QToolButton;

// A caption, a spin box and a "set" button; the button emits the spin box's value.
// The row may hold no value (shown as a dash): then "set" is disabled, so that
// only a value read from the device or entered by the user can be sent.
class LabelEditSet : public QWidget {
    Q_OBJECT
public:
    LabelEditSet(const QString &caption, int minimum, int maximum, QWidget *parent);
    ~LabelEditSet() override;

    bool has_value() const;

signals:
    void newValueSet(int value);

public slots:
    void button_clicked(bool);
    void setValue(int value);
    void clear_value();

private slots:
    void follow_value();

private:
    QSpinBox *spinBox;
    QToolButton *button;
    int minimum;
};

#endif // LABELEDITSET_H
