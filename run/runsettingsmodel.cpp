#include "run/runsettingsmodel.h"

template <typename T> void RunSettingsModel::assign(T &field, T value) {
    if (field == value)
        return;
    field = value;
    emit changed();
}

void RunSettingsModel::set_run(const RunSettings &settings) {
    const bool same =
        settings.exposure_ms == values.exposure_ms && settings.iterations == values.iterations &&
        settings.event_threshold == values.event_threshold &&
        settings.accumulate == values.accumulate && settings.autorun == values.autorun;
    values = settings;
    if (!same)
        emit changed();
}

void RunSettingsModel::set_exposure_ms(int ms) {
    assign(values.exposure_ms, ms);
}

void RunSettingsModel::set_iterations(int n) {
    assign(values.iterations, n);
}

void RunSettingsModel::set_event_threshold(int n) {
    assign(values.event_threshold, n);
}

void RunSettingsModel::set_accumulate(bool on) {
    assign(values.accumulate, on);
}

void RunSettingsModel::set_autorun(bool on) {
    assign(values.autorun, on);
}

void RunSettingsModel::set_histo_start_ns(int ns) {
    assign(start_ns, ns);
}

void RunSettingsModel::set_histo_size_ns(int ns) {
    assign(size_ns, ns);
}

void RunSettingsModel::set_binning(uint32_t exponent) {
    assign(binning_exponent, exponent);
}

HistoParams RunSettingsModel::histo_params(double device_binsize_ns) const {
    return HistoParams{double(start_ns), double(size_ns), device_binsize_ns, binning_exponent,
                       channel_count};
}
