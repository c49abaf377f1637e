#include "panel/exposureprogress.h"

#include "device/tdciface.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>

namespace {

constexpr int update_ms = 200;
constexpr int hide_after_ms = 1500;
constexpr qint64 rate_window_ms = 1000;
constexpr int bar_steps = 1000;

// 3 significant digits with k, M or G: "1.23 M", "12.3 k", "456".
QString scaled(double value) {
    static const char *const prefixes[] = {"", " k", " M", " G", " T"};
    int p = 0;
    while (value >= 999.5 && p < 4) {
        value /= 1000.0;
        ++p;
    }
    const int decimals = p == 0 ? 0 : value < 9.995 ? 2 : value < 99.95 ? 1 : 0;
    return QString::number(value, 'f', decimals) + QLatin1String(prefixes[p]);
}

} // namespace

ExposureProgress::ExposureProgress(const TdcIface *tdc, QWidget *parent)
    : QWidget(parent), tdc(tdc), bar(new QProgressBar(this)), lb_exposure(new QLabel(this)),
      lb_events(new QLabel(this)) {
    bar->setRange(0, bar_steps);
    bar->setTextVisible(true);
    bar->setMinimumWidth(160);
    lb_events->setMinimumWidth(
        lb_events->fontMetrics().horizontalAdvance(QStringLiteral("888 M events, 888 M/s")));
    auto *row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(lb_exposure);
    row->addWidget(bar);
    row->addWidget(lb_events);
    setLayout(row);
    timer.setInterval(update_ms);
    hide_later.setSingleShot(true);
    hide_later.setInterval(hide_after_ms);
    connect(&hide_later, &QTimer::timeout, this, &QWidget::hide);
    connect(&timer, &QTimer::timeout, this, &ExposureProgress::update_display);
    hide();
}

ExposureProgress::~ExposureProgress() = default;

QString ExposureProgress::time_text(double elapsed_s, double total_s) {
    return QStringLiteral("%1 s / %2 s")
        .arg(QString::number(elapsed_s, 'f', 1), QString::number(total_s, 'g', 6));
}

QString ExposureProgress::events_text(uint64_t events, double events_per_s) {
    return scaled(double(events)) +
           (events == 1 ? QStringLiteral(" event, ") : QStringLiteral(" events, ")) +
           scaled(events_per_s) + QStringLiteral("/s");
}

void ExposureProgress::exposure_started(int ms, int number, int of) {
    exposure_ms = std::max(ms, 0);
    lb_exposure->setText(of > 0 ? QStringLiteral("exposure %1 of %2").arg(number).arg(of)
                                : QString());
    lb_exposure->setVisible(of > 0);
    recent.clear();
    clock.start();
    recent.push_back(Sample{0, 0});
    update_display();
    timer.start();
    hide_later.stop();
    show();
}

void ExposureProgress::run_ended() {
    timer.stop();
    // The last reading may be most of an update interval old: the bar ends
    // on the exposure's time and events as they were at its end.
    update_display();
    hide_later.start();
}

void ExposureProgress::update_display() {
    const qint64 now = clock.elapsed();
    const qint64 shown = std::min<qint64>(now, exposure_ms);
    // The accumulator counts from the exposure's start callback, which may
    // not have run yet at the very first reading.
    const uint64_t events = now == 0 ? 0 : tdc->get_delivered_running();
    recent.push_back(Sample{now, events});
    while (recent.size() > 2 && now - recent[1].ms >= rate_window_ms)
        recent.pop_front();
    const Sample &first = recent.front();
    const double span_s = double(now - first.ms) / 1000.0;
    const double rate =
        span_s > 0.0 && events >= first.events ? double(events - first.events) / span_s : 0.0;

    bar->setValue(exposure_ms > 0 ? int(bar_steps * shown / exposure_ms) : bar_steps);
    bar->setFormat(time_text(double(shown) / 1000.0, double(exposure_ms) / 1000.0));
    lb_events->setText(events_text(events, rate));
}
