#include "tools/channelsummarywindow.h"

#include "device/tdciface.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cmath>

namespace {

const QStringList headers{QStringLiteral("Channel"),
                          QStringLiteral("Exposure counts"),
                          QStringLiteral("Histogram counts"),
                          QStringLiteral("Peak [ns]"),
                          QStringLiteral("FWHM [ns]"),
                          QStringLiteral("Centroid [ns]"),
                          QStringLiteral("Lost")};

// A number sorts as a number; no answer shows as an empty cell, sorted first.
// Counts show whole, times to the picosecond.
QTableWidgetItem *number_item(double value, bool count = false) {
    auto *item = new QTableWidgetItem;
    if (std::isfinite(value) && count)
        item->setData(Qt::DisplayRole, qlonglong(std::llround(value)));
    else if (std::isfinite(value))
        item->setData(Qt::DisplayRole, std::round(value * 1000.0) / 1000.0);
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

} // namespace

ChannelSummaryWindow::ChannelSummaryWindow(TdcIface *tdc, QWidget *parent)
    : QWidget(parent), tdc(tdc), histograms_readable([] { return true; }) {
    setWindowTitle(QStringLiteral("Velmora: Channel Summary"));
    lb_exposure = new QLabel(QStringLiteral("No exposure yet."), this);
    table = new QTableWidget(16, int(headers.size()), this);
    table->setHorizontalHeaderLabels(headers);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->setSortingEnabled(true);
    table->sortByColumn(0, Qt::AscendingOrder);
    bu_copy = new QPushButton(QStringLiteral("Copy"), this);
    bu_copy->setObjectName(QStringLiteral("bu_copy"));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(lb_exposure, 1);
    buttons->addWidget(bu_copy);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(table, 1);
    layout->addLayout(buttons);
    connect(bu_copy, &QPushButton::clicked, this, &ChannelSummaryWindow::copy_table);
    fill_table();
    resize(860, 560);
}

ChannelSummaryWindow::~ChannelSummaryWindow() = default;

void ChannelSummaryWindow::set_histograms_readable(std::function<bool()> readable) {
    histograms_readable = std::move(readable);
}

void ChannelSummaryWindow::exposure_recorded(const ExposureResult &result) {
    recorded = true;
    exposure_number = result.number;
    params = result.params;
    histos = result.histos;
    generation = result.histo_generation;
    exposure_counts = result.counts();
    exposure_lost = result.lost;
    // A hidden window need not pass over every bin after each exposure; it
    // summarises when it opens.
    summarized.fill(false);
    if (isVisible())
        summarize();
}

void ChannelSummaryWindow::show_and_raise() {
    show();
    raise();
    activateWindow();
}

void ChannelSummaryWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (recorded && histograms_readable())
        summarize();
    else
        fill_table();
}

void ChannelSummaryWindow::summarize() {
    // Histograms rebuilt since the record are gone.
    if (generation != tdc->histo_generation())
        histos.clear();
    const double first_edge =
        params.binsize > 0.0 ? std::trunc(params.start / params.binsize) * params.binsize : 0.0;
    const double width = std::ldexp(params.binsize, int(params.binning % 64));
    summarized.fill(false);
    for (std::size_t c = 0; c < summaries.size(); ++c) {
        const std::vector<double> *h = c < histos.size() ? histos[c] : nullptr;
        if (h == nullptr)
            continue;
        summaries[c] = summarize_peak(h->data(), h->size(), first_edge, width);
        summarized[c] = true;
    }
    fill_table();
}

void ChannelSummaryWindow::fill_table() {
    table->setSortingEnabled(false);
    for (int c = 0; c < 16; ++c) {
        const std::size_t i = std::size_t(c);
        const PeakSummary none;
        const PeakSummary &s = summarized[i] ? summaries[i] : none;
        const bool known = recorded;
        const double nan = std::nan("");
        table->setItem(c, 0, number_item(c, true));
        table->setItem(c, 1, number_item(known ? double(exposure_counts[i]) : nan, true));
        table->setItem(c, 2, number_item(summarized[i] ? s.counts : nan, true));
        table->setItem(c, 3, number_item(s.peak_ns));
        table->setItem(c, 4, number_item(s.fwhm_ns));
        table->setItem(c, 5, number_item(s.centroid_ns));
        table->setItem(c, 6, number_item(known ? double(exposure_lost[i]) : nan, true));
    }
    table->setSortingEnabled(true);
    if (recorded)
        lb_exposure->setText(QStringLiteral("After exposure %1; lost: events of that exposure.")
                                 .arg(exposure_number));
}

QString ChannelSummaryWindow::table_text() const {
    QStringList lines{headers.join(QLatin1Char('\t'))};
    for (int row = 0; row < table->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < table->columnCount(); ++column) {
            const QTableWidgetItem *item = table->item(row, column);
            const QVariant value = item ? item->data(Qt::DisplayRole) : QVariant();
            // The C locale's numbers, for a spreadsheet or a script.
            cells << (value.isValid() ? QString::number(value.toDouble(), 'g', 12) : QString());
        }
        lines << cells.join(QLatin1Char('\t'));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void ChannelSummaryWindow::copy_table() {
    QApplication::clipboard()->setText(table_text());
}
