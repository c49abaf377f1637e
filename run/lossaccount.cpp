#include "run/lossaccount.h"

#include <QLocale>

#include <numeric>

namespace {

uint64_t sum(const LossAccount::Counts &counts) {
    return std::accumulate(counts.begin(), counts.end(), uint64_t(0));
}

// "12,345 events", grouped the English way whatever the user's locale, so the
// text reads the same in every report.
QString events(uint64_t n) {
    return QLocale(QLocale::English).toString(qulonglong(n)) +
           (n == 1 ? QStringLiteral(" event") : QStringLiteral(" events"));
}

} // namespace

void LossAccount::start_run() {
    *this = LossAccount();
}

void LossAccount::add_exposure(const Counts &device_counts, const Counts &delivered) {
    counted_last = 0;
    for (uint32_t c = 0; c < channels; ++c) {
        const uint64_t counted = device_counts[c];
        // A count the device saturated may fall below the deliveries: no
        // loss can be told then.
        lost_last[c] = counted > delivered[c] ? counted - delivered[c] : 0;
        counted_last += counted;
        delivered_run[c] += delivered[c];
        lost_run[c] += lost_last[c];
    }
    ++exposure_count;
}

uint64_t LossAccount::last_lost_total() const {
    return sum(lost_last);
}

uint64_t LossAccount::run_lost_total() const {
    return sum(lost_run);
}

QString LossAccount::warning_text() const {
    const uint64_t in_run = run_lost_total();
    if (in_run == 0)
        return QString();
    const uint64_t in_last = last_lost_total();
    if (in_last == 0)
        return QStringLiteral("lost %1 in this run, none in the last exposure").arg(events(in_run));
    const double percent = 100.0 * double(in_last) / double(counted_last);
    return QStringLiteral("lost %1 (%2 %) in the last exposure, %3 in this run")
        .arg(events(in_last))
        .arg(percent, 0, 'f', 2)
        .arg(QLocale(QLocale::English).toString(qulonglong(in_run)));
}
