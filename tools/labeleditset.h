#ifndef LABELEDITSET_H
#define LABELEDITSET_H

#include <QString>
#include <QWidget>

class QSpinBox;
class QToolButton;

// A caption, a spin box and a "set" button; the button emits the spin box's value.
class LabelEditSet : public QWidget {
    Q_OBJECT
public:
    LabelEditSet(const QString &caption, int minimum, int maximum, QWidget *parent);
    ~LabelEditSet() override;

signals:
    void newValueSet(int value);

public slots:
    void button_clicked(bool);
    void setValue(int value);

private:
    QSpinBox *spinBox;
    QToolButton *button;
};

#endif // LABELEDITSET_H
