#include "plots/plotimage.h"

#include <qwt_plot.h>
#include <qwt_plot_renderer.h>
#include <qwt_text.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QSpinBox>

#include <cmath>

QString plot_image_format(const QString &file_name) {
    const QString suffix = QFileInfo(file_name).suffix().toLower();
    if (suffix == QLatin1String("png") || suffix == QLatin1String("svg") ||
        suffix == QLatin1String("pdf"))
        return suffix;
    return QString();
}

namespace {

// "0-3, 5, 9-15": runs of three or more as ranges.
QString channel_list(uint32_t shown, uint32_t channels) {
    QStringList parts;
    uint32_t c = 0;
    while (c < channels && c < 32) {
        if (!(shown & (uint32_t(1) << c))) {
            ++c;
            continue;
        }
        uint32_t end = c;
        while (end + 1 < channels && end + 1 < 32 && (shown & (uint32_t(1) << (end + 1))))
            ++end;
        if (end >= c + 2)
            parts << QStringLiteral("%1-%2").arg(c).arg(end);
        else
            for (uint32_t k = c; k <= end; ++k)
                parts << QString::number(k);
        c = end + 1;
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

} // namespace

QString plot_image_footer(const QDateTime &when, uint64_t exposure, uint64_t accumulated,
                          const HistoParams &params, uint32_t shown, uint32_t channels) {
    const double width = std::ldexp(params.binsize, int(params.binning % 64));
    return QStringLiteral("%1   exposure %2, %3 accumulated\nwindow %4 to %5 ns   bins %6 ns "
                          "(binning %7)   channels %8")
        .arg(when.isValid() ? when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                            : QStringLiteral("no exposure"))
        .arg(exposure)
        .arg(accumulated)
        .arg(params.start, 0, 'g', 10)
        .arg(params.start + params.size, 0, 'g', 10)
        .arg(width, 0, 'g', 6)
        .arg(uint64_t(1) << (params.binning % 64))
        .arg(channel_list(shown, channels));
}

bool write_plot_image(QwtPlot *plot, const QString &file_name, int dpi, const QString &footer,
                      QString *error) {
    const QString format = plot_image_format(file_name);
    if (format.isEmpty()) {
        *error = QStringLiteral("%1: the name must end in .png, .svg or .pdf")
                     .arg(QFileInfo(file_name).fileName());
        return false;
    }
    const QString partial = file_name + QStringLiteral(".part");
    QFile::remove(partial);

    const QwtText kept_footer = plot->footer();
    QwtText line(footer);
    QFont font = plot->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    line.setFont(font);
    plot->setFooter(line);
    QwtPlotRenderer renderer;
    // The screen's white canvas and frame, not the renderer's defaults.
    renderer.setDiscardFlag(QwtPlotRenderer::DiscardBackground, false);
    renderer.setDiscardFlag(QwtPlotRenderer::DiscardCanvasFrame, true);
    renderer.setDiscardFlag(QwtPlotRenderer::DiscardFooter, false);
    renderer.setDiscardFlag(QwtPlotRenderer::DiscardLegend, false);
    bool ok = true;
    if (format == QLatin1String("png")) {
        // The size the plot has on screen, at the asked resolution.
        const double scale = double(dpi) / double(plot->logicalDpiX());
        QImage image(QSize(int(plot->width() * scale), int(plot->height() * scale)),
                     QImage::Format_ARGB32);
        image.setDotsPerMeterX(int(std::lround(dpi / 0.0254)));
        image.setDotsPerMeterY(int(std::lround(dpi / 0.0254)));
        image.fill(Qt::white);
        QPainter painter(&image);
        renderer.render(plot, &painter, QRectF(image.rect()));
        painter.end();
        ok = image.save(partial, "PNG");
    } else {
        const QSizeF size_mm = QSizeF(plot->size()) * 25.4 / double(plot->logicalDpiX());
        renderer.renderDocument(plot, partial, format, size_mm, 85);
        ok = QFileInfo(partial).size() > 0;
    }
    plot->setFooter(kept_footer);
    if (ok) {
        QFile::remove(file_name);
        ok = QFile::rename(partial, file_name);
    }
    if (!ok) {
        QFile::remove(partial);
        *error = QStringLiteral("%1 could not be written").arg(QDir::toNativeSeparators(file_name));
    }
    return ok;
}

std::optional<PlotImageChoice> ask_plot_image(QWidget *parent, const QString &folder, int dpi) {
    // Qt's own dialog, since a platform one cannot hold the two choices.
    QFileDialog dialog(
        parent, QStringLiteral("Save Plot Image"), folder,
        QStringLiteral("PNG image (*.png);;SVG drawing (*.svg);;PDF document (*.pdf)"));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("png"));
    auto *cb_plot = new QComboBox(&dialog);
    cb_plot->setObjectName(QStringLiteral("cb_plot"));
    cb_plot->addItem(QStringLiteral("histograms"), false);
    cb_plot->addItem(QStringLiteral("rates"), true);
    auto *sb_dpi = new QSpinBox(&dialog);
    sb_dpi->setObjectName(QStringLiteral("sb_dpi"));
    sb_dpi->setRange(50, 1200);
    sb_dpi->setValue(dpi);
    sb_dpi->setSuffix(QStringLiteral(" dpi"));
    // The suffix follows the chosen type while the name has none of ours.
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString &f) {
        dialog.setDefaultSuffix(f.section(QLatin1String("*."), 1).left(3));
    });
    if (auto *grid = qobject_cast<QGridLayout *>(dialog.layout())) {
        const int row = grid->rowCount();
        grid->addWidget(new QLabel(QStringLiteral("Plot:"), &dialog), row, 0);
        grid->addWidget(cb_plot, row, 1);
        grid->addWidget(new QLabel(QStringLiteral("PNG resolution:"), &dialog), row + 1, 0);
        grid->addWidget(sb_dpi, row + 1, 1);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    PlotImageChoice choice;
    choice.file_name = dialog.selectedFiles().constFirst();
    choice.dpi = sb_dpi->value();
    choice.rates = cb_plot->currentData().toBool();
    return choice;
}
