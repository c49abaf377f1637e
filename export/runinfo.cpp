#include "export/runinfo.h"

#include "device/histogeometry.h"

#include <QJsonArray>
#include <QJsonValue>

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "unversioned"
#endif

namespace {

// JSON numbers are doubles: counts are exact up to 2^53, far beyond any run.
QJsonValue count(uint64_t n) {
    return QJsonValue(double(n));
}

QJsonValue potentiometer(const EpotSettings &epot) {
    if (!epot.threshold_known && !epot.zero_known)
        return QJsonValue(QJsonValue::Null);
    QJsonObject settings;
    if (epot.threshold_known)
        settings["threshold"] = int(epot.threshold);
    if (epot.zero_known)
        settings["zero"] = int(epot.zero);
    return settings;
}

QJsonValue corrections(const DeviceSnapshot &device) {
    if (!device.corrections_known)
        return QJsonValue(QJsonValue::Null);
    QJsonArray values;
    for (int32_t v : device.corrections)
        values.append(int(v));
    return values;
}

QJsonArray changes(const std::vector<RunChange> &list) {
    QJsonArray result;
    for (const RunChange &change : list)
        result.append(QJsonObject{{"exposure", count(change.exposure)},
                                  {"setting", change.setting},
                                  {"from", change.from},
                                  {"to", change.to}});
    return result;
}

} // namespace

QString program_version() {
    return QStringLiteral(VELMORA_VERSION);
}

QJsonObject run_info_json(const RunInfo &info) {
    const double factor = HistoGeometry::binning_factor(info.histo.binning);
    QJsonObject histograms{
        {"binning", int(info.histo.binning)},          {"binning_factor", factor},
        {"bin_width_ns", factor * info.histo.binsize}, {"start_offset_ns", info.histo.start},
        {"window_size_ns", info.histo.size},           {"channels", int(info.histo.channels)},
        {"zero_bins_filtered", info.zeros_filtered},
    };
    const RunRecord &record = info.run;
    QJsonObject run{
        {"exposure_ms", record.settings.exposure_ms},
        {"accumulate", record.settings.accumulate},
        {"autorun", record.autorun},
        {"iterations", record.settings.iterations},
        {"event_threshold", record.settings.event_threshold},
        {"exposures_completed", count(record.exposures_completed)},
        {"exposures_in_histograms", count(record.exposures_in_histograms)},
        {"first_exposure_in_histograms", count(record.first_exposure_in_histograms)},
        {"ended", record.ended},
        {"changes", changes(record.changes)},
    };
    if (record.incomplete_exposure != 0)
        run.insert("incomplete_exposure", count(record.incomplete_exposure));
    QJsonArray per_channel;
    for (std::size_t c = 0; c < channel_count; ++c)
        per_channel.append(QJsonObject{
            {"channel", int(c)},
            {"last_exposure_counts", count(info.last_counts[c])},
            {"run_delivered", count(record.delivered[c])},
            {"run_lost", count(record.lost[c])},
            {"histogram_events", count(info.histogram_events[c])},
        });
    return QJsonObject{
        {"program", "Velmora"},
        {"version", info.program_version},
        {"written",
         info.written.toOffsetFromUtc(info.written.offsetFromUtc()).toString(Qt::ISODate)},
        {"device", QJsonObject{{"binsize_ns", info.device.binsize_ns},
                               {"corrections", corrections(info.device)},
                               {"potentiometer", potentiometer(info.device.epot)}}},
        {"histograms", histograms},
        {"run", run},
        {"per_channel", per_channel},
        {"files", QJsonArray::fromStringList(info.files)},
        {"rates_source", info.counts_from_device ? "device" : "received"},
    };
}

QString run_info_file_name(const QString &prefix) {
    return prefix + QStringLiteral("_info.json");
}
