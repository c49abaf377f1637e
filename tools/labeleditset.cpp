#include "tools/labeleditset.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QToolButton>

LabelEditSet::LabelEditSet(const QString &caption, int minimum, int maximum, QWidget *parent)
    : QWidget(parent), spinBox(new QSpinBox(this)), button(new QToolButton(this)) {
    auto *label = new QLabel(caption, this);
    spinBox->setRange(minimum, maximum);
    button->setText("set");
    button->setMinimumHeight(2 * QFontMetrics(font()).height());

    auto *layout = new QHBoxLayout;
    layout->addWidget(label, 0);
    layout->addWidget(spinBox, 0);
    layout->addWidget(button, 0);
    setLayout(layout);

    connect(button, &QToolButton::clicked, this, &LabelEditSet::button_clicked);
}

LabelEditSet::~LabelEditSet() = default;

void LabelEditSet::button_clicked(bool) {
    emit newValueSet(spinBox->value());
}

// The spin box's own valueChanged is left unconnected, so a value read from
// the device is shown without being written back.
void LabelEditSet::setValue(int value) {
    spinBox->setValue(value);
}
