// Soak run of the measurement panel on the simulated device: 10,000 automatic
// exposures driven through the panel's own controls, in phases that change
// the histogram window, the binning and the start offset, and that end by
// one or two presses of "stop", by the event threshold or by the iteration
// count. Prints the exposures per second, the resident memory at the start
// of the steady state and at the end, and checks that every event the device
// generated was counted: generated = sum of the statistics blocks = sum of
// the accumulator's nr_events increments.
// Exit code 0 when the accounting holds and memory grew by less than 1 %.
// Usage: bench_soak [--grab panel.png]

#include "device/tdciface.h"
#include "panel/mwidget.h"
#include "simulator/oxsim.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include <unistd.h>

namespace {

constexpr int target_exposures = 10000;
constexpr int exposure_ms = 1;
constexpr int phase_timeout_ms = 120000;

// 16 channels at about 0.5 M events/s together, generated as fast as
// possible: a 1 ms exposure carries some 500 events.
const char *const soak_ini = R"(; soak configuration: 16 channels, not in real time
[device]
binsize_ns = 0.5
channels = 16
seed = 424242
range_ns = 1000
realtime = false
block_events = 256
)";

QByteArray channel_sections() {
    QByteArray text;
    for (int c = 0; c < 16; ++c) {
        text += QByteArray("[channel") + QByteArray::number(c) + "]\n";
        if (c == 7) {
            text += "shape = flat\nrate_hz = 20000\n\n";
        } else if (c % 5 == 4) {
            text += "shape = peak\nrate_hz = 25000\ndelay_ns = " + QByteArray::number(60 * c + 30) +
                    "\nsigma_ns = 3\nbackground_hz = 1000\n\n";
        } else {
            text +=
                "shape = decay\nrate_hz = 30000\ndelay_ns = " + QByteArray::number(60 * c + 20) +
                "\nlifetime_ns = " + QByteArray::number(2 + 7 * c) +
                "\nsigma_ns = 0.5\nbackground_hz = 1500\n\n";
        }
    }
    return text;
}

long resident_bytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    if (fields.size() < 2)
        return -1;
    return fields[1].toLong() * sysconf(_SC_PAGESIZE);
}

// The panel's controls, found the way a user finds them: by the labels of
// the form rows and the texts of the buttons.
struct Controls {
    QSpinBox *exposure = nullptr;
    QCheckBox *autorun = nullptr;
    QCheckBox *accumulate = nullptr;
    QSpinBox *iterations = nullptr;
    QSpinBox *threshold = nullptr;
    QComboBox *binning = nullptr;
    QSpinBox *window_start = nullptr;
    QSpinBox *window_size = nullptr;
    QPushButton *start = nullptr;
    QPushButton *stop = nullptr;

    bool complete() const {
        return exposure && autorun && accumulate && iterations && threshold && binning &&
               window_start && window_size && start && stop;
    }
};

QWidget *field_of(QWidget *panel, const QString &label) {
    for (QFormLayout *form : panel->findChildren<QFormLayout *>()) {
        for (int row = 0; row < form->rowCount(); ++row) {
            QLayoutItem *label_item = form->itemAt(row, QFormLayout::LabelRole);
            QLayoutItem *field_item = form->itemAt(row, QFormLayout::FieldRole);
            auto *text = label_item ? qobject_cast<QLabel *>(label_item->widget()) : nullptr;
            if (text && field_item && text->text() == label)
                return field_item->widget();
        }
    }
    return nullptr;
}

QPushButton *button_of(QWidget *panel, const QString &text) {
    for (QPushButton *button : panel->findChildren<QPushButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}

Controls find_controls(QWidget *panel) {
    Controls c;
    c.exposure = qobject_cast<QSpinBox *>(field_of(panel, QStringLiteral("meas. time [ms]:")));
    c.autorun = qobject_cast<QCheckBox *>(field_of(panel, QStringLiteral("autorun:")));
    c.accumulate = qobject_cast<QCheckBox *>(field_of(panel, QStringLiteral("accumulate:")));
    c.iterations = qobject_cast<QSpinBox *>(field_of(panel, QStringLiteral("iterations:")));
    c.threshold = qobject_cast<QSpinBox *>(field_of(panel, QStringLiteral("event threshold:")));
    c.binning = qobject_cast<QComboBox *>(field_of(panel, QStringLiteral("binning:")));
    c.window_start =
        qobject_cast<QSpinBox *>(field_of(panel, QStringLiteral("histogram start offset [ns]:")));
    c.window_size =
        qobject_cast<QSpinBox *>(field_of(panel, QStringLiteral("histogram window size [ns]:")));
    c.start = button_of(panel, QStringLiteral("start"));
    c.stop = button_of(panel, QStringLiteral("stop"));
    return c;
}

void set_checked(QCheckBox *box, bool checked) {
    if (box->isChecked() != checked)
        box->click();
}

// Per-exposure bookkeeping, read after each exposure ended and before the
// panel clears the statistics or starts the next one.
struct Ledger {
    int exposures = 0;
    int phase_exposures = 0;
    uint64_t block_sum = 0;
    uint64_t nr_events_sum = 0;
    uint64_t nr_events_base = 0; // the accumulator's count when the exposure began
    int nonzero_spare_words = 0;
    int exposure_mismatches = 0;
    int generated_mismatches = 0;
    int counter_went_back = 0;
};

// No dialog belongs in a soak: each error box the panel raises is counted,
// its text kept, and it is closed the moment it shows, from inside its own
// event loop, so the soak fails instead of blocking.
class Boxes : public QObject {
public:
    int count = 0;
    QString first;

    Boxes() { qApp->installEventFilter(this); }

private:
    bool eventFilter(QObject *o, QEvent *e) override {
        auto *dialog = e->type() == QEvent::Show ? qobject_cast<QDialog *>(o) : nullptr;
        if (dialog && dialog->isModal()) {
            auto *box = qobject_cast<QMessageBox *>(dialog);
            if (count++ == 0)
                first =
                    dialog->windowTitle() + QStringLiteral(": ") + (box ? box->text() : QString());
            QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
        }
        return false;
    }
};

bool wait_for(const std::function<bool()> &done, int timeout_ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

struct Phase {
    const char *name;
    bool autorun;
    bool accumulate;
    int iterations;
    int threshold;
    int window_start;
    int window_size;
    int binning_index;
    int stop_after; // exposures before pressing stop (0: the run ends by itself)
    int stop_presses;
    int single_shots; // for manual phases: how many runs to start
};

// One cycle of the soak, some 560 exposures.
const Phase cycle[] = {
    {"autorun", true, false, 1, 0, 0, 1000, 0, 200, 2, 1},
    {"autorun accumulate", true, true, 50, 0, 100, 500, 1, 150, 1, 1},
    {"autorun accumulate, threshold", true, true, 1000, 30000, 200, 800, 2, 0, 0, 1},
    {"autorun, stopped early", true, false, 1, 0, 50, 900, 0, 20, 2, 1},
    {"accumulate iterations", false, true, 40, 0, 0, 1000, 0, 0, 0, 1},
    {"single exposures", false, false, 1, 0, 300, 600, 3, 0, 0, 5},
    {"accumulate, stopped twice", true, true, 20, 0, 0, 1000, 1, 30, 2, 1},
};

class Soak {
public:
    Soak(Mwidget &panel, Ledger &ledger) : panel(panel), ledger(ledger), c(find_controls(&panel)) {}

    bool controls_found() const { return c.complete(); }

    void set_parameters(const Phase &p) {
        c.exposure->setValue(exposure_ms);
        set_checked(c.autorun, p.autorun);
        set_checked(c.accumulate, p.accumulate);
        c.iterations->setValue(p.iterations);
        c.threshold->setValue(p.threshold);
        c.window_start->setValue(p.window_start);
        c.window_size->setValue(p.window_size);
        c.binning->setCurrentIndex(p.binning_index);
    }

    void press_start() {
        // The panel resets the accumulator's statistics when a run starts.
        ledger.nr_events_base = 0;
        c.start->click();
    }

    bool run_phase(const Phase &p) {
        set_parameters(p);
        for (int shot = 0; shot < p.single_shots; ++shot) {
            ledger.phase_exposures = 0;
            if (!wait_for([&] { return c.start->isEnabled(); }, phase_timeout_ms))
                return fail(p, "the start button stays disabled");
            press_start();
            if (panel.get_run_state() != 2)
                return fail(p, "the run did not start");
            if (p.stop_after > 0) {
                if (!wait_for([&] { return ledger.phase_exposures >= p.stop_after; },
                              phase_timeout_ms))
                    return fail(p, "too few exposures");
                for (int press = 0; press < p.stop_presses; ++press)
                    c.stop->click();
            }
            if (!wait_for([&] { return panel.get_run_state() == 0; }, phase_timeout_ms))
                return fail(p, "the run does not end");
        }
        return true;
    }

    // The last run takes exactly the exposures still missing.
    bool run_final(int exposures) {
        const Phase last = {"final accumulate", false, true, exposures, 0, 0, 1000, 0, 0, 0, 1};
        return run_phase(last);
    }

private:
    bool fail(const Phase &p, const char *what) {
        std::printf("phase '%s': %s (after %d exposures)\n", p.name, what, ledger.exposures);
        return false;
    }

    Mwidget &panel;
    Ledger &ledger;
    Controls c;
};

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::printf("cannot create a temporary folder\n");
        return 2;
    }
    // Settings of the soak never touch the user's.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.filePath(QStringLiteral("config"))));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);

    // The panel opens tdc_qv5.ini from the working folder.
    QFile ini(folder.filePath(QStringLiteral("tdc_qv5.ini")));
    if (!ini.open(QIODevice::WriteOnly) ||
        ini.write(QByteArray(soak_ini) + "\n" + channel_sections()) < 0) {
        std::printf("cannot write %s\n", qPrintable(ini.fileName()));
        return 2;
    }
    ini.close();
    QDir::setCurrent(folder.path());

    Boxes boxes;

    TdcIface tdc;
    Ledger ledger;
    bool accumulating = false;
    // Connected before the panel exists, so this runs before the panel's own
    // completion handler: the device is idle and nothing has been reset yet.
    QObject observer;
    QObject::connect(
        &tdc, &TdcIface::complete_callback, &observer,
        [&](int) {
            const PipeStatistics *block = tdc.get_pipe_statistics();
            uint64_t exposure_events = 0;
            for (int w = 0; w < 16; ++w)
                exposure_events += block->words[w];
            for (int w = 16; w < 256; ++w)
                ledger.nonzero_spare_words += block->words[w] != 0;
            ledger.block_sum += exposure_events;

            const uint64_t nr_events = tdc.get_histo_stats()->nr_events;
            if (nr_events < ledger.nr_events_base) {
                ++ledger.counter_went_back;
            } else {
                const uint64_t increment = nr_events - ledger.nr_events_base;
                ledger.nr_events_sum += increment;
                ledger.exposure_mismatches += increment != exposure_events;
            }
            // Without accumulation the panel resets the statistics before
            // every exposure; with it they grow until the next start.
            ledger.nr_events_base = accumulating ? nr_events : 0;

            const long long generated = oxsim_generated_events(0);
            ledger.generated_mismatches += generated != (long long)ledger.block_sum;
            ++ledger.exposures;
            ++ledger.phase_exposures;
        },
        Qt::QueuedConnection);

    Mwidget panel(&tdc, nullptr);
    panel.resize(1280, 800);
    panel.show();
    QCoreApplication::processEvents();

    Soak soak(panel, ledger);
    if (!soak.controls_found()) {
        std::printf("the panel's controls were not found by their labels\n");
        return 2;
    }
    QObject::connect(panel.findChild<QCheckBox *>(QStringLiteral("cb_accumulate")),
                     &QCheckBox::toggled, [&](bool on) { accumulating = on; });

    QMetaObject::invokeMethod(&panel, "slot_init_deinit", Qt::DirectConnection, Q_ARG(bool, true));
    if (!tdc.is_initialized()) {
        std::printf("the simulated device did not open: %s\n", qPrintable(tdc.get_error_message()));
        return 2;
    }
    if (oxsim_generated_events(0) < 0) {
        std::printf("the simulated device is not descriptor 0\n");
        return 2;
    }

    QElapsedTimer clock;
    clock.start();
    long rss_steady = -1;
    int steady_at = 0;
    double steady_started_s = 0.0;
    bool ok = true;
    int cycles = 0;
    std::vector<long> rss_per_cycle;
    while (ok && ledger.exposures < target_exposures) {
        for (const Phase &p : cycle) {
            const int missing = target_exposures - ledger.exposures;
            if (missing <= 400) {
                ok = soak.run_final(missing);
                break;
            }
            if (!(ok = soak.run_phase(p)))
                break;
        }
        rss_per_cycle.push_back(resident_bytes());
        // After the first cycle every buffer the soak uses has been built once.
        if (++cycles == 1) {
            rss_steady = resident_bytes();
            steady_at = ledger.exposures;
            steady_started_s = clock.nsecsElapsed() * 1e-9;
        }
    }
    const double seconds = clock.nsecsElapsed() * 1e-9;
    const long rss_end = resident_bytes();
    const long long generated = oxsim_generated_events(0);

    QMetaObject::invokeMethod(&panel, "slot_init_deinit", Qt::DirectConnection, Q_ARG(bool, false));
    QCoreApplication::processEvents();

    const double growth = rss_steady > 0 ? 100.0 * double(rss_end - rss_steady) / rss_steady : 0.0;
    std::printf("soak: %d exposures of %d ms in %d cycles, %.2f s\n", ledger.exposures, exposure_ms,
                cycles, seconds);
    std::printf("  exposures per second:     %.0f (steady state: %.0f)\n",
                ledger.exposures / seconds,
                (ledger.exposures - steady_at) / std::max(1e-9, seconds - steady_started_s));
    std::printf("  events per second:        %.0f\n", double(ledger.block_sum) / seconds);
    std::printf("  resident memory:          %.1f MiB after %d exposures, %.1f MiB at the end"
                " (%+.3f %%)\n",
                rss_steady / 1048576.0, steady_at, rss_end / 1048576.0, growth);
    std::printf("  resident memory after each cycle [KiB]:");
    for (long rss : rss_per_cycle)
        std::printf(" %ld", rss / 1024);
    std::printf("\n");
    if (argc > 2 && QString::fromLocal8Bit(argv[1]) == QStringLiteral("--grab"))
        panel.grab().save(QString::fromLocal8Bit(argv[2]));
    std::printf("  events generated:         %lld\n", generated);
    std::printf("  sum of statistics blocks: %llu\n", (unsigned long long)ledger.block_sum);
    std::printf("  sum of nr_events:         %llu\n", (unsigned long long)ledger.nr_events_sum);
    std::printf("  exposures whose nr_events increment differs from their block: %d\n",
                ledger.exposure_mismatches);
    std::printf("  exposures after which generated differed from the blocks so far: %d\n",
                ledger.generated_mismatches);
    if (ledger.counter_went_back)
        std::printf("  nr_events fell below its value at the exposure's start %d times\n",
                    ledger.counter_went_back);
    if (ledger.nonzero_spare_words)
        std::printf("  statistics words 16..255 not zero: %d\n", ledger.nonzero_spare_words);
    if (boxes.count)
        std::printf("  error boxes: %d, the first: %s\n", boxes.count, qPrintable(boxes.first));

    const bool counted = generated >= 0 && uint64_t(generated) == ledger.block_sum &&
                         ledger.block_sum == ledger.nr_events_sum &&
                         ledger.exposure_mismatches == 0 && ledger.generated_mismatches == 0 &&
                         ledger.counter_went_back == 0 && ledger.nonzero_spare_words == 0;
    const bool memory_ok = rss_steady > 0 && growth < 1.0;
    const bool complete = ok && ledger.exposures == target_exposures && boxes.count == 0;
    std::printf("  accounting: %s, memory: %s, run: %s\n",
                counted ? "every event counted" : "FAILED",
                memory_ok ? "growth under 1 %" : "FAILED", complete ? "complete" : "FAILED");
    return counted && memory_ok && complete ? 0 : 1;
}
