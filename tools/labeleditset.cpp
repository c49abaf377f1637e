#include "tools/labeleditset.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QToolButton>

namespace {
// What the spin box shows while it holds no value.
const QString no_value = QString::fromUtf8("\u2014");
} // namespace

LabelEditSet::LabelEditSet(const QString &caption, int minimum, int maximum, QWidget *parent)
    : QWidget(parent), spinBox(new QSpinBox(this)), button(new QToolButton(this)),
      minimum(minimum) {
    auto *label = new QLabel(caption, this);
    // One step below the range stands for "no value": the spin box then shows
    // the dash instead of a number the device may not hold.
    spinBox->setRange(minimum - 1, maximum);
    spinBox->setSpecialValueText(no_value);
    button->setText("set");
    button->setMinimumHeight(2 * QFontMetrics(font()).height());

    auto *layout = new QHBoxLayout;
    // The caption takes the spare width, so that the spin boxes and buttons of
    // rows stacked in one column line up whatever their captions' lengths.
    layout->addWidget(label, 1);
    layout->addWidget(spinBox, 0);
    layout->addWidget(button, 0);
    setLayout(layout);

    connect(button, &QToolButton::clicked, this, &LabelEditSet::button_clicked);
    connect(spinBox, qOverload<int>(&QSpinBox::valueChanged), this, &LabelEditSet::follow_value);
    clear_value();
    follow_value();
}

LabelEditSet::~LabelEditSet() = default;

bool LabelEditSet::has_value() const {
    return spinBox->value() >= minimum;
}

void LabelEditSet::button_clicked(bool) {
    if (has_value())
        emit newValueSet(spinBox->value());
}

// The spin box's valueChanged is not passed on as newValueSet, so a value read
// from the device is shown without being written back.
void LabelEditSet::setValue(int value) {
    spinBox->setValue(value);
}

void LabelEditSet::clear_value() {
    spinBox->setValue(minimum - 1);
}

void LabelEditSet::follow_value() {
    button->setEnabled(has_value());
}
