#include "export/runinfo.h"

#include "device/tdciface.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
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

QJsonValue corrections(const RunInfo &info) {
    if (!info.corrections_known)
        return QJsonValue(QJsonValue::Null);
    QJsonArray values;
    for (int32_t v : info.corrections)
        values.append(int(v));
    return values;
}

} // namespace

RunInfo device_run_info(TdcIface &tdc) {
    RunInfo info;
    info.program_version = QStringLiteral(VELMORA_VERSION);
    info.written = QDateTime::currentDateTime();
    info.device_binsize_ns = tdc.get_binsize();
    info.corrections_known = tdc.is_initialized() && tdc.get_corrections(info.corrections) == 0;
    if (!info.corrections_known)
        info.corrections.clear();
    info.epot = tdc.get_epot_settings();
    return info;
}

QJsonObject run_info_json(const RunInfo &info) {
    const double factor = double(uint64_t(1) << (info.histo.binning % 64));
    QJsonObject histograms{
        {"binning", int(info.histo.binning)},          {"binning_factor", factor},
        {"bin_width_ns", factor * info.histo.binsize}, {"start_offset_ns", info.histo.start},
        {"window_size_ns", info.histo.size},           {"channels", int(info.histo.channels)},
        {"zero_bins_filtered", info.zeros_filtered},
    };
    QJsonObject run{
        {"exposure_ms", info.run.exposure_ms},
        {"accumulate", info.run.accumulate},
        {"autorun", info.run.autorun},
        {"iterations", info.run.iterations},
        {"event_threshold", info.run.event_threshold},
        {"exposures_completed", info.run.exposures_completed},
        {"ended", info.run.ended},
    };
    QJsonArray per_channel;
    for (int c = 0; c < 16; ++c)
        per_channel.append(QJsonObject{
            {"channel", c},
            {"last_exposure_counts", count(info.last_counts[size_t(c)])},
            {"run_delivered", count(info.run_delivered[size_t(c)])},
            {"run_lost", count(info.run_lost[size_t(c)])},
        });
    return QJsonObject{
        {"program", "Velmora"},
        {"version", info.program_version},
        {"written",
         info.written.toOffsetFromUtc(info.written.offsetFromUtc()).toString(Qt::ISODate)},
        {"device", QJsonObject{{"binsize_ns", info.device_binsize_ns},
                               {"corrections", corrections(info)},
                               {"potentiometer", potentiometer(info.epot)}}},
        {"histograms", histograms},
        {"run", run},
        {"per_channel", per_channel},
    };
}

QString run_info_file_name(const QString &prefix) {
    return prefix + QStringLiteral("_info.json");
}

bool write_run_info(const QString &path, const RunInfo &info) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray text = QJsonDocument(run_info_json(info)).toJson(QJsonDocument::Indented);
    return file.write(text) == text.size() && file.flush();
}
