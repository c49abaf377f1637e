#ifndef RUNSETTINGSMODEL_H
#define RUNSETTINGSMODEL_H

#include "device/histopipe.h"
#include "run/runrecord.h"

#include <QObject>

#include <cstdint>

// The run's settings without widgets: the panel's fields edit it and show
// it, and so can any other control of the program. The run controller reads
// it when a run starts and before every exposure.
class RunSettingsModel : public QObject {
    Q_OBJECT
public:
    explicit RunSettingsModel(QObject *parent = nullptr) : QObject(parent) {}

    const RunSettings &run() const { return values; }
    int histo_start_ns() const { return start_ns; }
    int histo_size_ns() const { return size_ns; }
    // Histogram bin = 2^binning device bins.
    uint32_t binning() const { return binning_exponent; }

    void set_run(const RunSettings &settings);
    void set_exposure_ms(int ms);
    void set_iterations(int n);
    void set_event_threshold(int n);
    void set_accumulate(bool on);
    void set_autorun(bool on);
    void set_histo_start_ns(int ns);
    void set_histo_size_ns(int ns);
    void set_binning(uint32_t exponent);

    // The histogram parameters these settings ask for on a device of the
    // given bin size.
    HistoParams histo_params(double device_binsize_ns) const;

signals:
    void changed();

private:
    template <typename T> void assign(T &field, T value);

    RunSettings values;
    int start_ns = 0;
    int size_ns = 1000;
    uint32_t binning_exponent = 0;
};

#endif // RUNSETTINGSMODEL_H
