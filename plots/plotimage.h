#ifndef PLOTIMAGE_H
#define PLOTIMAGE_H

#include "device/histopipe.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>

class QWidget;
class QwtPlot;

// The format a plot image's file name asks for by its extension: "png",
// "svg" or "pdf"; empty for any other.
QString plot_image_format(const QString &file_name);

// The two lines under a saved plot: when, which exposure, how many the
// histograms hold, window, binning and the channels shown (bit c of `shown`
// for channel c, of the first `channels`).
QString plot_image_footer(const QDateTime &when, uint64_t exposure, uint64_t accumulated,
                          const HistoParams &params, uint32_t shown, uint32_t channels);

// Renders the plot as it looks on screen, with the footer under it, to the
// file (PNG at `dpi`); the file appears only once complete. False and the
// reason in *error otherwise.
bool write_plot_image(QwtPlot *plot, const QString &file_name, int dpi, const QString &footer,
                      QString *error);

struct PlotImageChoice {
    QString file_name;
    int dpi = 300;
    bool rates = false; // the rates plot rather than the histograms
};

// The one dialog of a plot image: the file name, whose extension picks the
// format, the PNG resolution and which plot. Nothing when cancelled.
std::optional<PlotImageChoice> ask_plot_image(QWidget *parent, const QString &folder, int dpi);

#endif // PLOTIMAGE_H
