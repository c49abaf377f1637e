#include "plots/mhistotoolbar.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QSpinBox>

MhistoToolbar::MhistoToolbar(QWidget *parent) : QWidget(parent) {
    cb_y_auto_scaling = new QComboBox();
    sb_linewidth = new QSpinBox();

    cb_y_auto_scaling->insertItem(cb_y_auto_scaling->count(), QIcon(), QStringLiteral("fit"), 0);
    cb_y_auto_scaling->insertItem(cb_y_auto_scaling->count(), QIcon(), QStringLiteral("grow"), 1);
    cb_y_auto_scaling->insertItem(cb_y_auto_scaling->count(), QIcon(), QStringLiteral("off"), 2);

    sb_linewidth->setRange(1, 4);

    auto *layout = new QHBoxLayout();
    layout->addWidget(new QLabel(QStringLiteral("y-autoscaling:"), this));
    layout->addWidget(cb_y_auto_scaling);
    layout->addSpacing(QFontMetrics(font()).averageCharWidth());
    layout->addWidget(new QLabel(QStringLiteral("line width:"), this));
    layout->addWidget(sb_linewidth);
    layout->addSpacing(QFontMetrics(font()).averageCharWidth());
    cb_y_scale = new QComboBox();
    cb_y_scale->setObjectName(QStringLiteral("cb_y_scale"));
    cb_y_scale->addItem(QStringLiteral("linear"), false);
    cb_y_scale->addItem(QStringLiteral("log"), true);
    layout->addWidget(new QLabel(QStringLiteral("counts:"), this));
    layout->addWidget(cb_y_scale);
    layout->addStretch(1);
    setLayout(layout);

    connect(cb_y_auto_scaling, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MhistoToolbar::slot_cb_y_auto_scaling);
    connect(sb_linewidth, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MhistoToolbar::linewidth_changed);
    connect(cb_y_scale, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { emit log_counts_changed(cb_y_scale->currentData().toBool()); });
}

void MhistoToolbar::set_log_counts(bool log) {
    cb_y_scale->setCurrentIndex(log ? 1 : 0);
}

MhistoToolbar::~MhistoToolbar() = default;

void MhistoToolbar::slot_cb_y_auto_scaling(int) {
    emit auto_scaling_y_changed(cb_y_auto_scaling->currentData(Qt::UserRole).toInt());
}
