#include "tools/panelchannelcorrections.h"

#include "device/tdciface.h"

#include <QByteArray>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

namespace {
constexpr int min_correction = -32768;
constexpr int max_correction = 32767;
// The spin boxes take more than the device's range, so that a value typed
// beyond it arrives and is clamped where the user sees it, not dropped or cut
// short by the spin box while typing.
constexpr int max_typed = 999999;
const char *const geometry_key = "panelchcorr/geometry";
// A spin box whose device value lies outside what it can show.
const char *const out_of_range_style = "QSpinBox { color: #C00000; background-color: #FFE0A0; }";
// A spin box whose last change the device refused.
const char *const refused_style = "QSpinBox { color: #C00000; background-color: #FFC8C8; }";
const char *const no_device_text = "No device connected: the shifts can be edited once one is.";
} // namespace

PanelChannelCorrections::PanelChannelCorrections(TdcIface *tdc, QString orgName, QString appName,
                                                 QWidget *parent)
    : QWidget(parent), tdc(tdc), orgName(std::move(orgName)), appName(std::move(appName)),
      rowsLayout(new QVBoxLayout), scrollArea(nullptr), lb_unit(new QLabel(no_device_text, this)),
      lb_read_failure(new QLabel(this)) {
    auto *outer = new QVBoxLayout;
    auto *inner = new QWidget;
    inner->setLayout(rowsLayout);
    // Few rows sit together at the top instead of spreading over the height.
    rowsLayout->setAlignment(Qt::AlignTop);
    rowsLayout->setSpacing(2);
    scrollArea = new QScrollArea;
    scrollArea->setWidget(inner);
    scrollArea->setWidgetResizable(true);
    lb_read_failure->setObjectName("lb_read_failure");
    lb_read_failure->setWordWrap(true);
    lb_read_failure->setMargin(4);
    lb_read_failure->setStyleSheet("QLabel { color: #C00000; }");
    lb_read_failure->hide();
    lb_unit->setObjectName("lb_unit");
    lb_unit->setWordWrap(true);
    lb_unit->setMargin(4);
    outer->addWidget(lb_unit);
    outer->addWidget(lb_read_failure);
    outer->addWidget(scrollArea);
    outer->setContentsMargins(0, 0, 0, 0);
    setLayout(outer);
    setMinimumHeight(200);

    if (!tdc->is_initialized()) {
        setRowCount(1); // a placeholder, tied to no channel
        setRowsEnabled(false);
    } else {
        devConnected();
    }

    // Queued: the rows are rebuilt after whoever opened the device is done.
    connect(tdc, &TdcIface::connected, this, &PanelChannelCorrections::devConnected,
            Qt::QueuedConnection);
    connect(tdc, &TdcIface::disconnecting, this, &PanelChannelCorrections::devDisconnected);
    connect(tdc, &TdcIface::connection_lost, this, &PanelChannelCorrections::devDisconnected);
    connect(tdc, &TdcIface::corrections_changed, this,
            &PanelChannelCorrections::show_written_corrections);

    QSettings settings(this->orgName, this->appName);
    if (!restoreGeometry(settings.value(geometry_key).toByteArray())) {
        // Sized here rather than by Qt, which would give a new window at most
        // two thirds of the screen's height: too little for 16 rows on a laptop.
        QSize size = sizeHint();
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            size = size.boundedTo(screen->availableSize());
        resize(size);
    }
}

PanelChannelCorrections::~PanelChannelCorrections() = default;

// Room for the rows of a usual device, however many rows there are when the
// window first opens; more rows scroll.
QSize PanelChannelCorrections::sizeHint() const {
    const int row_height =
        rows.empty() ? fontMetrics().height() * 3 / 2 : rows.front().rowWidget->sizeHint().height();
    const QMargins margins = rowsLayout->contentsMargins();
    const int frame = 2 * scrollArea->frameWidth();
    const int scroll_bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    const int rows_height = rows_at_default_size * row_height +
                            (rows_at_default_size - 1) * rowsLayout->spacing() + margins.top() +
                            margins.bottom();
    int above = lb_unit->heightForWidth(scrollArea->widget()->sizeHint().width());
    if (lb_read_failure->isVisible())
        above += lb_read_failure->sizeHint().height();
    return QSize(scrollArea->widget()->sizeHint().width() + frame + scroll_bar,
                 above + layout()->spacing() + rows_height + frame);
}

void PanelChannelCorrections::closeEvent(QCloseEvent *event) {
    QSettings settings(orgName, appName);
    settings.setValue(geometry_key, saveGeometry());
    event->accept();
}

void PanelChannelCorrections::devConnected() {
    read_device();
}

void PanelChannelCorrections::devDisconnected() {
    setRowsEnabled(false);
    lb_unit->setText(no_device_text);
}

// Some editor wrote the corrections: every editor shows what the device now holds.
void PanelChannelCorrections::show_written_corrections() {
    read_device();
}

// Rows that show values of an earlier device, or none, must not be edited:
// on a failed read they stay disabled with the reason shown.
bool PanelChannelCorrections::read_device() {
    lb_unit->setText(QString("Shift of each channel in device bins; 1 bin = %1 ns.")
                         .arg(tdc->get_binsize(), 0, 'g', 7));
    std::vector<int32_t> values;
    if (tdc->get_corrections(values) != 0) {
        show_read_failure(tdc->get_error_message());
        return false;
    }
    corrections = std::move(values);
    lb_read_failure->hide();
    lb_read_failure->clear();
    setRowCount(static_cast<int>(std::min<size_t>(corrections.size(), max_rows)));
    show_device_values();
    setRowsEnabled(true);
    return true;
}

void PanelChannelCorrections::show_read_failure(const QString &reason) {
    corrections.clear();
    setRowsEnabled(false);
    const QString text = "The channel shifts could not be read from the device: " + reason;
    lb_read_failure->setText(text);
    lb_read_failure->show();
    for (const ChannelRow &row : rows)
        mark(row, "", text);
}

void PanelChannelCorrections::slotValueChanged(int value) {
    if (filling_rows)
        return;
    auto *spin_box = qobject_cast<QSpinBox *>(sender());
    if (spin_box == nullptr)
        return;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].spinBox != spin_box)
            continue;
        const int written = std::clamp(value, min_correction, max_correction);
        if (i >= corrections.size())
            return;
        // The note comes after the write: a successful write shows the
        // device's values afresh, which clears every row's marks.
        if (write_channel(i, written) && written != value)
            mark(rows[i], "",
                 QString("%1 lies outside %2 ... %3; %4 was written.")
                     .arg(value)
                     .arg(min_correction)
                     .arg(max_correction)
                     .arg(written),
                 QString("clamped from %1").arg(value));
        return;
    }
}

// Another editor may have changed other channels since this one last read, so
// only this channel changes in what the device holds now. The whole set goes
// back, channels beyond the rows included.
bool PanelChannelCorrections::write_channel(size_t channel, int value) {
    std::vector<int32_t> current;
    if (tdc->get_corrections(current) != 0) {
        refuse_change(channel, QString("ch%1: %2 was not written, the channel shifts could not be "
                                       "read from the device: %3")
                                   .arg(channel)
                                   .arg(value)
                                   .arg(tdc->get_error_message()));
        return false;
    }
    if (channel >= current.size()) {
        refuse_change(channel, QString("ch%1: %2 was not written, the device now has %3 channels")
                                   .arg(channel)
                                   .arg(value)
                                   .arg(current.size()));
        return false;
    }
    const int32_t kept = current[channel];
    current[channel] = value;
    // Success: the device interface announces the change and every editor,
    // this one included, shows the device's values.
    if (tdc->set_corrections(current) >= 0)
        return true;
    const QString reason = tdc->get_error_message();
    current[channel] = kept;
    corrections = std::move(current);
    show_device_values();
    refuse_change(channel, QString("ch%1: the device refused %2 and keeps %3: %4")
                               .arg(channel)
                               .arg(value)
                               .arg(kept)
                               .arg(reason));
    return false;
}

// The row goes back to the device's value (the last one known) and says why.
void PanelChannelCorrections::refuse_change(size_t channel, const QString &message) {
    filling_rows = true;
    show_device_value(rows[channel], corrections[channel]);
    filling_rows = false;
    mark(rows[channel], refused_style, message);
    emit show_this(message);
}

// Values read from the device are shown, never written back.
void PanelChannelCorrections::show_device_values() {
    filling_rows = true;
    const size_t shown = std::min(corrections.size(), rows.size());
    for (size_t i = 0; i < shown; ++i)
        show_device_value(rows[i], corrections[i]);
    filling_rows = false;
}

// A value outside what a user may enter is shown clamped and marked; writes
// of other rows carry the true value, read from the device, unchanged. The
// time beside is always the device's value's.
void PanelChannelCorrections::show_device_value(const ChannelRow &row, int32_t value) {
    row.spinBox->setValue(std::clamp<int32_t>(value, min_correction, max_correction));
    row.lb_time->setText(
        QString("%1 ns").arg(static_cast<double>(value) * tdc->get_binsize(), 0, 'g', 7));
    if (value < min_correction || value > max_correction)
        mark(row, out_of_range_style,
             QString("The device holds %1, which lies outside %2 ... %3; it is shown clamped "
                     "and kept unless you change this channel.")
                 .arg(value)
                 .arg(min_correction)
                 .arg(max_correction),
             QString("device holds %1").arg(value));
    else
        mark(row, "", QString());
}

void PanelChannelCorrections::mark(const ChannelRow &row, const char *style, const QString &tip,
                                   const QString &note) {
    row.spinBox->setStyleSheet(style);
    row.spinBox->setToolTip(tip);
    row.lb_note->setText(note);
    row.lb_note->setToolTip(tip);
}

void PanelChannelCorrections::setRowCount(int count) {
    count = std::max(0, std::min(count, max_rows));
    while (static_cast<int>(rows.size()) < count) {
        const QString text = QString("ch%1").arg(static_cast<unsigned>(rows.size()));
        auto *row_widget = new QWidget(this);
        auto *spin_box = new QSpinBox(row_widget);
        auto *label = new QLabel(text, row_widget);
        auto *lb_time = new QLabel(row_widget);
        auto *lb_note = new QLabel(row_widget);
        lb_time->setObjectName("lb_time");
        lb_note->setObjectName("lb_note");
        // Fixed widths keep the columns aligned from row to row and leave room
        // for a note without squeezing the others when it appears.
        const QFontMetrics metrics(font());
        label->setMinimumWidth(metrics.horizontalAdvance("ch511"));
        lb_time->setMinimumWidth(metrics.horizontalAdvance("-4095.875 ns"));
        lb_time->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        lb_note->setMinimumWidth(metrics.horizontalAdvance("clamped from -999999"));
        lb_note->setStyleSheet("QLabel { color: #C00000; }");
        auto *row_layout = new QHBoxLayout;
        row_layout->addWidget(label, 0);
        row_layout->addWidget(spin_box, 0);
        row_layout->addWidget(lb_time, 0);
        row_layout->addWidget(lb_note, 1);
        spin_box->setRange(-max_typed, max_typed);
        // A value is written when the user is done with it (Enter, leaving the
        // field, arrows), not once for each digit typed on the way.
        spin_box->setKeyboardTracking(false);
        row_layout->setContentsMargins(0, 0, 0, 0);
        row_widget->setLayout(row_layout);
        rows.push_back(ChannelRow{row_widget, spin_box, lb_time, lb_note});
        connect(spin_box, qOverload<int>(&QSpinBox::valueChanged), this,
                &PanelChannelCorrections::slotValueChanged);
        rowsLayout->addWidget(row_widget, 0);
    }
    while (static_cast<int>(rows.size()) > count) {
        QWidget *row_widget = rows.back().rowWidget;
        rowsLayout->removeWidget(row_widget);
        row_widget->deleteLater();
        rows.pop_back();
    }
}

void PanelChannelCorrections::setRowsEnabled(bool enabled) {
    // The time and the note go grey with the value they belong to: without a
    // device they describe the last one, not a device that is there.
    for (const ChannelRow &row : rows)
        for (QWidget *widget :
             {static_cast<QWidget *>(row.spinBox), static_cast<QWidget *>(row.lb_time),
              static_cast<QWidget *>(row.lb_note)})
            widget->setEnabled(enabled);
}
