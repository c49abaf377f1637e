#ifndef CHANNELSUMMARYWINDOW_H
#define CHANNELSUMMARYWINDOW_H

#include "analysis/peaksummary.h"
#include "run/exposureresult.h"

#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <vector>

class QLabel;
class QPushButton;
class QShowEvent;
class QTableWidget;
class TdcIface;

// Per channel: the counts of the last exposure and of the histograms, where
// the peak sits, its width at half height, the centroid and the events lost,
// from each exposure's record. The histograms are read while the record is
// handed over (the device is idle then), and when the window opens only if
// the readable check given by its creator says so.
class ChannelSummaryWindow : public QWidget {
    Q_OBJECT
public:
    ChannelSummaryWindow(TdcIface *tdc, QWidget *parent);
    ~ChannelSummaryWindow() override;

    void set_histograms_readable(std::function<bool()> readable);
    // The table as shown (its sorting too), tab-separated, with a header line.
    QString table_text() const;

public slots:
    void exposure_recorded(const ExposureResult &result);
    void show_and_raise();
    void copy_table();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void summarize();
    void fill_table();

    TdcIface *tdc;
    std::function<bool()> histograms_readable;
    QLabel *lb_exposure;
    QTableWidget *table;
    QPushButton *bu_copy;
    // The last record, its histograms valid while their generation lasts.
    bool recorded = false;
    uint64_t exposure_number = 0;
    HistoParams params{0.0, 0.0, 0.0, 0, 0};
    std::vector<const std::vector<double> *> histos;
    uint64_t generation = 0;
    ChannelCounts exposure_counts{};
    ChannelCounts exposure_lost{};
    // What the histograms gave when last read; false where a channel has none.
    std::array<PeakSummary, 16> summaries{};
    std::array<bool, 16> summarized{};
};

#endif // CHANNELSUMMARYWINDOW_H
