#include "panel/mwidget.h"

#include "device/histogeometry.h"
#include "device/tdciface.h"
#include "export/histoexport.h"
#include "plots/mhisto.h"
#include "plots/mhistotoolbar.h"
#include "plots/mrates.h"
#include "plots/plotimage.h"
#include "run/runcontroller.h"
#include "run/runsettingsmodel.h"
#include "tools/statswindow.h"
#include "tools/windowepot.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace {

constexpr int binning_items = 21;
constexpr int spin_max = 1000000000;
constexpr int exposure_max = 10000000;

const char *const ini_file = "tdc_qv5.ini";

} // namespace

Mwidget::Mwidget(TdcIface *tdc, QWidget *parent)
    : QWidget(parent), tdc(tdc), run_control(new RunController(tdc, this)), run_state(0),
      autorun_active(false), event_total(0) {
    create_widgets();
    build_layout();
    make_connections();
    bind_fields_to_model();
}

Mwidget::~Mwidget() {
    epot_window->deleteLater();
    // The statistics dialog has no parent, so nothing else would free it.
    delete stats_window;
}

void Mwidget::create_widgets() {
    sb_exposure = new QSpinBox(this);
    sb_iterations = new QSpinBox(this);
    sb_iterations_left = new QSpinBox(this);
    sb_iterations_left->setEnabled(false);
    sb_event_threshold = new QSpinBox(this);

    le_binsize = new QLineEdit(this);
    le_histo_points = new QLineEdit(this);
    for (QLineEdit *display : {le_binsize, le_histo_points}) {
        display->setReadOnly(true);
        display->setEnabled(false);
        display->setFocusPolicy(Qt::NoFocus);
        display->setAlignment(Qt::AlignCenter);
    }

    sb_histo_start = new QSpinBox(this);
    sb_histo_size = new QSpinBox(this);
    cb_binning = new QComboBox(this);

    bu_start = new QPushButton(QStringLiteral("start"), this);
    bu_start->setEnabled(false);
    bu_stop = new QPushButton(QStringLiteral("stop"), this);
    bu_stop->setEnabled(false);

    histo = new Mhisto(tdc, this);
    histo_toolbar = new MhistoToolbar(this);
    rates = new Mrates(tdc, this);
    rates->setMinimumWidth(300);
    rates->setMinimumHeight(140);
    histo->setMinimumSize(320, 240);
    stats_window = new StatsWindow(nullptr);

    lb_autorun = new QLabel(QStringLiteral("autorun:"), this);
    lb_exposure = new QLabel(QStringLiteral("meas. time [ms]:"), this);
    lb_accumulate = new QLabel(QStringLiteral("accumulate:"), this);
    lb_iterations = new QLabel(QStringLiteral("iterations:"), this);
    lb_iterations_left = new QLabel(QStringLiteral("iterations left:"), this);
    lb_event_threshold = new QLabel(QStringLiteral("event threshold:"), this);
    lb_binsize = new QLabel(QStringLiteral("binsize:"), this);
    lb_histo_start = new QLabel(QStringLiteral("histogram start offset [ns]:"), this);
    lb_histo_size = new QLabel(QStringLiteral("histogram window size [ns]:"), this);
    lb_binning = new QLabel(QStringLiteral("binning:"), this);

    cb_autorun = new QCheckBox(this);
    cb_accumulate = new QCheckBox(this);
    epot_window = new WindowEpot(tdc, this);

    // Names let the main window's tests and style sheets reach the controls.
    sb_exposure->setObjectName(QStringLiteral("sb_exposure"));
    sb_iterations->setObjectName(QStringLiteral("sb_iterations"));
    sb_iterations_left->setObjectName(QStringLiteral("sb_iterations_left"));
    sb_event_threshold->setObjectName(QStringLiteral("sb_event_threshold"));
    le_binsize->setObjectName(QStringLiteral("le_binsize"));
    le_histo_points->setObjectName(QStringLiteral("le_histo_points"));
    sb_histo_start->setObjectName(QStringLiteral("sb_histo_start"));
    sb_histo_size->setObjectName(QStringLiteral("sb_histo_size"));
    cb_binning->setObjectName(QStringLiteral("cb_binning"));
    bu_start->setObjectName(QStringLiteral("bu_start"));
    bu_stop->setObjectName(QStringLiteral("bu_stop"));
    cb_autorun->setObjectName(QStringLiteral("cb_autorun"));
    cb_accumulate->setObjectName(QStringLiteral("cb_accumulate"));

    // The parameter slots must not run while the controls are set up: the
    // displays they update do not exist in their final form yet.
    const QSignalBlocker block_size(sb_histo_size);
    const QSignalBlocker block_start(sb_histo_start);
    const QSignalBlocker block_binning(cb_binning);
    sb_exposure->setMaximum(exposure_max);
    sb_exposure->setValue(100);
    sb_event_threshold->setRange(0, spin_max);
    sb_iterations->setRange(1, spin_max);
    sb_iterations_left->setRange(0, spin_max);
    sb_histo_start->setRange(0, spin_max);
    sb_histo_start->setValue(0);
    sb_histo_size->setRange(0, spin_max);
    sb_histo_size->setValue(1000);
    for (int i = 0; i < binning_items; ++i) {
        const uint factor = 1u << i;
        cb_binning->insertItem(cb_binning->count(), QIcon(), QString::number(factor),
                               QVariant(factor));
    }
    cb_binning->setEnabled(false);
}

void Mwidget::build_layout() {
    auto *plot_column = new QVBoxLayout;
    plot_column->addWidget(histo_toolbar);
    plot_column->addWidget(histo);

    auto *form = new QFormLayout;
    form->addRow(lb_exposure, sb_exposure);
    form->addRow(lb_autorun, cb_autorun);
    form->addRow(lb_accumulate, cb_accumulate);
    form->addRow(lb_iterations, sb_iterations);
    form->addRow(lb_event_threshold, sb_event_threshold);
    form->addRow(lb_binning, cb_binning);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(bu_start);
    buttons->addWidget(bu_stop);
    form->addRow(buttons);
    form->addRow(lb_iterations_left, sb_iterations_left);
    form->addRow(lb_binsize, le_binsize);
    form->addRow(lb_histo_start, sb_histo_start);
    form->addRow(lb_histo_size, sb_histo_size);
    form->addRow(new QLabel(QStringLiteral("# histo points:")), le_histo_points);

    // The fields scroll when the window is lower than they are, so the window
    // fits a laptop screen; the plots share what height there is.
    auto *fields = new QWidget;
    fields->setLayout(form);
    auto *field_scroller = new QScrollArea(this);
    field_scroller->setObjectName(QStringLiteral("field_scroller"));
    field_scroller->setWidget(fields);
    field_scroller->setWidgetResizable(true);
    field_scroller->setFrameShape(QFrame::NoFrame);
    field_scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    field_scroller->setMinimumWidth(fields->sizeHint().width() +
                                    field_scroller->verticalScrollBar()->sizeHint().width());
    field_scroller->setMinimumHeight(160);
    field_scroller->setMaximumHeight(fields->sizeHint().height());
    field_scroller->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);

    // The fields take what they need first; the rates plot the rest.
    auto *control_column = new QVBoxLayout;
    control_column->addWidget(field_scroller, 4);
    control_column->addSpacing(6);
    control_column->addWidget(rates, 1);

    auto *top = new QHBoxLayout;
    top->addLayout(plot_column, 5);
    top->addLayout(control_column, 2);
    setLayout(top);
}

void Mwidget::make_connections() {
    connect(sb_histo_start, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &Mwidget::histowindow_start_changed);
    connect(sb_histo_size, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &Mwidget::histowindow_size_changed);
    connect(cb_binning, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Mwidget::binning_changed);
    connect(cb_autorun, &QCheckBox::clicked, this, &Mwidget::autorun_changed);
    connect(sb_histo_size, QOverload<int>::of(&QSpinBox::valueChanged), this,
            [this] { sb_histo_size->setStyleSheet(QString()); });
    connect(bu_start, &QPushButton::clicked, this, &Mwidget::start);
    connect(bu_stop, &QPushButton::clicked, this, &Mwidget::stop);
    connect(histo, &Mhisto::newAverage, stats_window, &StatsWindow::updateAverage);
    connect(histo, &Mhisto::newMinMax, stats_window, &StatsWindow::updateMinMax);
    connect(histo_toolbar, &MhistoToolbar::auto_scaling_y_changed, histo,
            &Mhisto::slot_auto_scaling_y);
    connect(histo_toolbar, &MhistoToolbar::linewidth_changed, histo,
            &Mhisto::slot_linewidth_changed);
    connect(histo_toolbar, &MhistoToolbar::log_counts_changed, histo, &Mhisto::set_log_counts);
    connect(histo, &Mhisto::hidden_channels_changed, rates, &Mrates::set_hidden_channels);
    connect(tdc, &TdcIface::connected, this, &Mwidget::slot_device_connected);
    connect(tdc, &TdcIface::connection_lost, this, &Mwidget::slot_connection_lost);
    // Every export is made from the last exposure's record and its run's.
    histo->set_export_source([this]() -> std::optional<ExportSnapshot> {
        const std::optional<ExposureResult> &last = run_control->last_result();
        if (!last)
            return std::nullopt;
        return HistoExport::snapshot(*last, run_control->run_record());
    });

    connect(run_control, &RunController::run_changed, this, &Mwidget::show_run_state);
    connect(run_control, &RunController::exposure_completed, this, &Mwidget::exposure_completed);
    connect(run_control, &RunController::run_started, this, &Mwidget::announce_run_start);
    connect(run_control, &RunController::exposure_started, this, &Mwidget::announce_exposure);
    connect(run_control, &RunController::run_ended, this, &Mwidget::run_ended);
    connect(run_control, &RunController::status, this, &Mwidget::show_this);
    connect(run_control, &RunController::device_error, this, &Mwidget::show_error_message);
    connect(run_control, &RunController::refused, this, &Mwidget::show_refusal);
}

// ---- parameters ------------------------------------------------------------

// The fields edit the run controller's settings model, and show it when it
// is changed from elsewhere.
void Mwidget::bind_fields_to_model() {
    RunSettingsModel *model = run_control->settings_model();
    connect(sb_exposure, QOverload<int>::of(&QSpinBox::valueChanged), model,
            &RunSettingsModel::set_exposure_ms);
    connect(sb_iterations, QOverload<int>::of(&QSpinBox::valueChanged), model,
            &RunSettingsModel::set_iterations);
    connect(sb_event_threshold, QOverload<int>::of(&QSpinBox::valueChanged), model,
            &RunSettingsModel::set_event_threshold);
    connect(cb_accumulate, &QCheckBox::toggled, model, &RunSettingsModel::set_accumulate);
    connect(cb_autorun, &QCheckBox::toggled, model, &RunSettingsModel::set_autorun);
    connect(sb_histo_start, QOverload<int>::of(&QSpinBox::valueChanged), model,
            &RunSettingsModel::set_histo_start_ns);
    connect(sb_histo_size, QOverload<int>::of(&QSpinBox::valueChanged), model,
            &RunSettingsModel::set_histo_size_ns);
    connect(cb_binning, QOverload<int>::of(&QComboBox::currentIndexChanged), model,
            [model](int index) { model->set_binning(uint32_t(std::max(0, index))); });
    connect(model, &RunSettingsModel::changed, this, &Mwidget::show_model);
    show_model();
    model->set_run(RunSettings{sb_exposure->value(), sb_iterations->value(),
                               sb_event_threshold->value(), cb_accumulate->isChecked(),
                               cb_autorun->isChecked()});
    model->set_histo_start_ns(sb_histo_start->value());
    model->set_histo_size_ns(sb_histo_size->value());
    model->set_binning(uint32_t(std::max(0, cb_binning->currentIndex())));
}

// Fields follow the model without echoing back into it.
void Mwidget::show_model() {
    const RunSettingsModel *model = run_control->settings_model();
    const RunSettings &run = model->run();
    auto show = [](QSpinBox *box, int value) {
        if (box->value() != value) {
            const QSignalBlocker block(box);
            box->setValue(value);
        }
    };
    show(sb_exposure, run.exposure_ms);
    show(sb_iterations, run.iterations);
    show(sb_event_threshold, run.event_threshold);
    if (cb_accumulate->isChecked() != run.accumulate)
        cb_accumulate->setChecked(run.accumulate);
    if (cb_autorun->isChecked() != run.autorun)
        cb_autorun->setChecked(run.autorun);
    show(sb_histo_start, model->histo_start_ns());
    show(sb_histo_size, model->histo_size_ns());
    if (cb_binning->currentIndex() != int(model->binning()) &&
        int(model->binning()) < cb_binning->count())
        cb_binning->setCurrentIndex(int(model->binning()));
}

// The panel's histogram fields as parameters for the connected device.
HistoParams Mwidget::panel_histo_params() const {
    return run_control->settings_model()->histo_params(tdc->get_binsize());
}

bool Mwidget::histo_params_changed() const {
    const HistoParams next = panel_histo_params();
    const HistoParams *handed = tdc->get_histo_params();
    return next.start != handed->start || next.size != handed->size ||
           next.binsize != handed->binsize || next.binning != handed->binning ||
           next.channels != handed->channels;
}

void Mwidget::apply_histo_params() {
    tdc->set_histo_params(panel_histo_params());
}

void Mwidget::histowindow_start_changed(int) {
    update_histo_points_display();
}

void Mwidget::histowindow_size_changed(int) {
    update_histo_points_display();
}

void Mwidget::binning_changed(int index) {
    HistoParams params = panel_histo_params();
    params.binning = static_cast<uint32_t>(std::max(0, index));
    if (device_binsize_known)
        update_binsize_display(HistoGeometry(params).bin_width());
    update_histo_points_display();
}

void Mwidget::autorun_changed(bool checked) {
    run_control->set_autorun(checked);
}

void Mwidget::update_binsize_display(double binsize_ns) {
    const double b = binsize_ns;
    QString text;
    if (b < 1.0)
        text = QStringLiteral("%1 ps").arg(b * 1000.0);
    else if (b < 1000.0)
        text = QStringLiteral("%1 ns").arg(b);
    else if (b < 1000000.0)
        text = QStringLiteral("%1 us").arg(b * 0.001);
    else if (b < 1000000000.0)
        text = QStringLiteral("%1 ms").arg(b * 0.000001);
    else
        text = QStringLiteral("%1 s").arg(b * 0.000000001);
    le_binsize->setText(text);
}

void Mwidget::update_histo_points_display() {
    if (!device_binsize_known)
        return;
    const double n = static_cast<double>(sb_histo_size->value()) /
                     HistoGeometry(panel_histo_params()).bin_width();

    QString text;
    if (n < 1000.0)
        text = QString::number(static_cast<qulonglong>(n + 0.5));
    else if (n < 1000000.0)
        text = QStringLiteral("%1 k").arg(n * 0.001);
    else if (n < 1000000000.0)
        text = QStringLiteral("%1 M").arg(n * 0.000001);
    else
        text = QStringLiteral("%1 G").arg(n * 0.000000001);

    QString style;
    if (n < 20000.0)
        style = QStringLiteral("QLineEdit { color: #000000; }");
    else if (n < 100000.0)
        style = QStringLiteral("QLineEdit { color: #402000; }");
    else if (n < 2000000.0)
        style = QStringLiteral("QLineEdit { color: #A04000; background-color: #FFF8E0; }");
    else
        style = QStringLiteral("QLineEdit { color: #C00000; background-color: #F8E8E0; }");
    QFont display_font = font();
    if (n >= 20000.0)
        display_font.setWeight(QFont::Bold);

    le_histo_points->setStyleSheet(style);
    le_histo_points->setFont(display_font);
    le_histo_points->setText(text);
}

// ---- settings --------------------------------------------------------------

void Mwidget::save_settings(QSettings &settings, const QString &prefix) {
    settings.setValue(prefix + QStringLiteral("exposure"), sb_exposure->value());
    settings.setValue(prefix + QStringLiteral("binning"),
                      cb_binning->currentData(Qt::UserRole).toLongLong());
    settings.setValue(prefix + QStringLiteral("histo_start"), sb_histo_start->value());
    settings.setValue(prefix + QStringLiteral("histo_size"), sb_histo_size->value());
    settings.setValue(prefix + QStringLiteral("autostart"), cb_autorun->isChecked());
    settings.setValue(prefix + QStringLiteral("accumulate"), cb_accumulate->isChecked());
    settings.setValue(prefix + QStringLiteral("iterations"), sb_iterations->value());
    settings.setValue(prefix + QStringLiteral("event_threshold"), sb_event_threshold->value());
    settings.setValue(prefix + QStringLiteral("hidden_channels"), histo->hidden_channels());
    settings.setValue(prefix + QStringLiteral("log_counts"), histo->log_counts());
    settings.setValue(prefix + QStringLiteral("image_dpi"), image_dpi);
}

void Mwidget::load_settings(QSettings &settings, const QString &prefix) {
    sb_exposure->setValue(settings.value(prefix + QStringLiteral("exposure"), 100).toInt());

    const qlonglong factor =
        settings.value(prefix + QStringLiteral("binning"), qlonglong(1)).toLongLong();
    int index = -1;
    if (factor >= 0 && factor <= qlonglong(std::numeric_limits<uint>::max()))
        index = cb_binning->findData(QVariant(static_cast<uint>(factor)), Qt::UserRole,
                                     Qt::MatchExactly);
    cb_binning->setCurrentIndex(index >= 0 ? index : 0);

    sb_histo_start->setValue(settings.value(prefix + QStringLiteral("histo_start"), 0).toInt());
    sb_histo_size->setValue(settings.value(prefix + QStringLiteral("histo_size"), 1000).toInt());
    cb_autorun->setChecked(settings.value(prefix + QStringLiteral("autostart"), false).toBool());
    cb_accumulate->setChecked(
        settings.value(prefix + QStringLiteral("accumulate"), false).toBool());
    sb_iterations->setValue(settings.value(prefix + QStringLiteral("iterations"), 1000).toInt());
    sb_event_threshold->setValue(
        settings.value(prefix + QStringLiteral("event_threshold"), 10000000).toInt());
    histo->set_hidden_channels(
        settings.value(prefix + QStringLiteral("hidden_channels"), 0u).toUInt());
    image_dpi =
        std::clamp(settings.value(prefix + QStringLiteral("image_dpi"), 300).toInt(), 50, 1200);
    histo_toolbar->set_log_counts(
        settings.value(prefix + QStringLiteral("log_counts"), false).toBool());
}

// ---- device connection -----------------------------------------------------

void Mwidget::slot_init_deinit(bool init) {
    const int32_t rc = open_device(init);
    if (init && rc < 0) {
        show_error_message(rc);
        if (auto *action = qobject_cast<QAction *>(sender()))
            action->setChecked(false);
    }
}

int32_t Mwidget::open_device(bool init) {
    if (init) {
        const int32_t rc = tdc->init(QString::fromLatin1(ini_file));
        if (rc < 0)
            return rc;
        update_binsize_display(HistoGeometry(panel_histo_params()).bin_width());
        update_histo_points_display();
        cb_binning->setEnabled(true);
        emit show_this(QStringLiteral("Device is initialized"));
        return rc;
    }

    // Waits for the exposure under way to complete, so that what is kept
    // for export belongs together; a failure has been reported by then.
    const int32_t rc = run_control->disconnect_device();
    if (rc < 0)
        return rc;
    cb_binning->setEnabled(false);
    emit show_this(run_control->last_exposure_incomplete()
                       ? QStringLiteral("Device is deinitialized; the last exposure is incomplete")
                       : QStringLiteral("Device is deinitialized"));
    return rc;
}

void Mwidget::slot_device_connected() {
    device_binsize_known = true;
    le_binsize->setEnabled(true);
    le_histo_points->setEnabled(true);
    show_run_state();
}

// The run controller ends a run that the lost device can no longer complete.
void Mwidget::slot_connection_lost() {
    cb_binning->setEnabled(false);
    show_run_state();
}

// ---- run control -----------------------------------------------------------

void Mwidget::show_run_state() {
    run_state = run_control->state();
    autorun_active = run_control->autorun_active();
    event_total = run_control->event_total();
    sb_iterations_left->setValue(run_control->iterations_left());
    bu_start->setEnabled(run_control->can_start());
    bu_stop->setEnabled(run_control->can_stop());
    if (run_state == RunController::Idle)
        bu_start->setText(QStringLiteral("start"));
}

// Nonsense settings are refused in the status bar, with the field marked;
// what the program cannot do (memory, allocation) in a box.
void Mwidget::show_refusal(const QString &text) {
    if (!RunController::settings_refusal(panel_histo_params()).isEmpty()) {
        sb_histo_size->setStyleSheet(QStringLiteral("QSpinBox { background-color: #F8D0D0; }"));
        return;
    }
    QMessageBox::critical(this, QStringLiteral("Error"), text, QMessageBox::Ok);
}

// Every view of the exposure takes it from its record, before the next
// exposure can begin.
void Mwidget::exposure_completed(const ExposureResult &result) {
    histo->show_exposure(result);
    rates->show_exposure(result);
    emit loss_warning(run_control->losses().warning_text());
}

void Mwidget::start() {
    run_control->start();
}

void Mwidget::stop() {
    run_control->stop();
}

void Mwidget::handle_completed_meas(int code) {
    run_control->handle_completion(code, tdc->exposures_started());
}

void Mwidget::show_error_message(int code) {
    if (code >= 0)
        return;
    QMessageBox::critical(this, QStringLiteral("Error"), tdc->get_error_message(), QMessageBox::Ok);
}

// ---- export and windows ----------------------------------------------------

void Mwidget::save_data_body(bool filter_zeros) {
    // The device may still be adding events to the histograms.
    if (run_state != 0) {
        QMessageBox::critical(this, QStringLiteral("Error"),
                              QStringLiteral("The run is still going: wait for it to end, or "
                                             "press stop, then export."),
                              QMessageBox::Ok);
        return;
    }
    if (!run_control->last_result() && run_control->run_record().incomplete_exposure != 0) {
        QMessageBox::critical(this, QStringLiteral("Error"),
                              QStringLiteral("The last run's first exposure did not complete: "
                                             "there is no complete exposure to export."),
                              QMessageBox::Ok);
        return;
    }
    if (histo->save_data(filter_zeros))
        return;
    const QString why = histo->export_error();
    QMessageBox::critical(this, QStringLiteral("Error"),
                          why.isEmpty() ? QStringLiteral("Could not save data")
                                        : QStringLiteral("Could not save data: ") + why,
                          QMessageBox::Ok, QMessageBox::NoButton);
}

void Mwidget::save_data() {
    save_data_body(false);
}

void Mwidget::save_data_filter_zeros() {
    save_data_body(true);
}

void Mwidget::save_plot_image() {
    // Beside the last export, where a lab book's files already are.
    const QString last = QSettings().value(QStringLiteral("export/last_folder")).toString();
    const QString folder = !last.isEmpty() && QFileInfo(last).isDir() ? last : QDir::homePath();
    const std::optional<PlotImageChoice> choice = ask_plot_image(this, folder, image_dpi);
    if (!choice)
        return;
    image_dpi = choice->dpi;
    QwtPlot *plot = choice->rates ? static_cast<QwtPlot *>(rates) : histo;
    QString why;
    if (!write_plot_image(plot, choice->file_name, choice->dpi, histo->image_footer(), &why))
        QMessageBox::critical(this, QStringLiteral("Error"),
                              QStringLiteral("Could not save the plot image: ") + why,
                              QMessageBox::Ok);
}

void Mwidget::show_control_epot() {
    epot_window->show();
}

void Mwidget::open_stats_window() {
    stats_window->show();
}

void Mwidget::close_tool_windows() {
    stats_window->close();
    epot_window->close();
}

// ---- run record, lost events and progress ----------------------------------

void Mwidget::announce_run_start() {
    emit loss_warning(QString());
}

void Mwidget::announce_exposure() {
    const RunSettings &settings = run_control->settings_model()->run();
    const int of = settings.accumulate ? settings.iterations : 0;
    const int number = settings.accumulate
                           ? of - run_control->iterations_left() + 1
                           : int(std::min<uint64_t>(run_control->losses().exposures() + 1,
                                                    uint64_t(std::numeric_limits<int>::max())));
    emit exposure_started(settings.exposure_ms, number, of);
}
