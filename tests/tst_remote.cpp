// The remote interface without a socket: the text rules, then whole lines through a session.

#include "device/tdciface.h"
#include "remote/fetchsnapshot.h"
#include "remote/scpiparser.h"
#include "remote/scpisession.h"
#include "run/runcontroller.h"
#include "tests/fakeoxtdc.h"

#include <QtTest>

#include <cstring>

namespace {

// Replies as the client would read them; blocks are read at once unless held back.
class CollectingSink : public ReplySink {
public:
    void send_text(const std::string &text) override { out += text; }
    void send_block(std::shared_ptr<BlockSource> block) override {
        if (hold_blocks) {
            held.push_back(block);
            return;
        }
        out += read_all(*block);
    }
    static std::string read_all(const BlockSource &block) {
        std::string bytes(block.size(), '\0');
        block.read(0, bytes.data(), bytes.size());
        return bytes;
    }
    std::string out;
    bool hold_blocks = false;
    std::vector<std::shared_ptr<BlockSource>> held;
};

std::vector<double> doubles_of(const std::string &bytes) {
    std::vector<double> values(bytes.size() / 8);
    std::memcpy(values.data(), bytes.data(), values.size() * 8);
    return values;
}

template <class List> QString joined(const List &list, QChar separator = '|') {
    QStringList out;
    for (const auto &s : list)
        out << QString::fromStdString(std::string(s));
    return out.join(separator);
}

// Checks a text rule on rows "text as sent -> text as read".
template <class Rule> void check_rows(std::initializer_list<const char *> rows, Rule rule) {
    for (const QString row : rows)
        QCOMPARE(rule(row.section(" -> ", 0, 0).toStdString()), row.section(" -> ", 1));
}

} // namespace

class TestRemote : public QObject {
    Q_OBJECT
    std::unique_ptr<TdcIface> tdc;
    std::unique_ptr<RunController> run;
    std::unique_ptr<FetchHold> hold;
    std::unique_ptr<CollectingSink> sink;
    std::unique_ptr<ScpiSession> session;

    static FakeOxTdc &fake() { return FakeOxTdc::instance(); }

    void send(const QString &line) {
        QTRY_VERIFY(!session->waiting());
        session->execute_line(line.toStdString());
    }
    void run_exposure() {
        send("INIT;*OPC?");
        QTRY_VERIFY(!session->waiting());
        sink->out.clear();
    }

private slots:
    void init() {
        fake().reset();
        tdc = std::make_unique<TdcIface>();
        run = std::make_unique<RunController>(tdc.get());
        hold = std::make_unique<FetchHold>(run.get());
        sink = std::make_unique<CollectingSink>();
        RemoteTarget target{run.get(), tdc.get(), nullptr, "9.9", {}};
        session = std::make_unique<ScpiSession>(target, hold.get(), sink.get());
        fake().set_auto_exposure([] { fake().play_sample_exposure({3, 1}); });
    }
    void cleanup() {
        session.reset();
        hold.reset();
        run.reset();
        tdc.reset();
        fake().set_auto_exposure(nullptr);
    }

    // The text rules as rows "text as sent -> text as read"; lists joined by '|'.
    void text_rules() {
        check_rows({"*IDN? -> *IDN?", "A 1; B?;C -> A 1|B?|C", ";;A;; ;B; -> A|B",
                    "M \"a;b\";C -> M \"a;b\"|C", "M 'it''s;x';C -> M 'it''s;x'|C",
                    "M \"a;b -> M \"a;b", "A?\r -> A?"},
                   [](const std::string &line) { return joined(scpi::split_commands(line)); });
        // ":" for an absolute header, "?" for a query, then the arguments; or the error's code.
        check_rows({"*idn? -> :*IDN?", ":acq:Time 5 -> :ACQ:TIME 5", "ITER 4 -> ITER 4",
                    "CHAN12:SHIF?  -> CHAN12:SHIF?", "FETC:HIST? 3 -> FETC:HIST? 3",
                    "MMEM:STOR:DATA \"a, b\" , FILT -> MMEM:STOR:DATA \"a, b\"|FILT",
                    "ACQ::TIME 1 -> -100", "A 1,,2 -> -100", "A 1, -> -100", "A \"x -> -100",
                    "ACQ:TIME?x -> -100", "1ACQ -> -100", "* -> -100"},
                   [](const std::string &text) {
                       const ScpiParseResult r = scpi::parse_command(text);
                       const ScpiCommand &c = r.command;
                       return r.error ? QString::number(r.error)
                                      : (c.absolute ? ":" : "") + joined(c.words, ':') +
                                            (c.query ? "?" : "") +
                                            (c.args.empty() ? "" : " " + joined(c.args));
                   });
        // "pattern header": the header's suffix (-1 for a pattern without one) or "no" match.
        check_rows({"ACQuire:TIME ACQ:TIME -> -1", "ACQuire:TIME ACQUIRE:TIME -> -1",
                    "ACQuire:TIME ACQU:TIME -> no", "ACQuire:TIME ACQ -> no",
                    "ACQuire ACQ:TIME -> no", "CHANnel#:SHIFt CHANNEL7:SHIF -> 7",
                    "CHANnel#:SHIFt CHAN15:SHIFT -> 15", "CHANnel#:SHIFt CHAN:SHIF -> no",
                    "ACQuire ACQ1 -> no", "*OPC *OPC -> -1"},
                   [](const std::string &text) {
                       const QStringList pattern_header = QString::fromStdString(text).split(' ');
                       std::vector<std::string> words;
                       for (const QString &word : pattern_header[1].split(':'))
                           words.push_back(word.toStdString());
                       int suffix = -1;
                       return scpi::header_matches(pattern_header[0].toStdString(), words, suffix)
                                  ? QString::number(suffix)
                                  : "no";
                   });
        // As a boolean, then as a whole number; "-" where it is none.
        check_rows({"on -> 1 -", "OFF -> 0 -", "1 -> 1 1", "2 -> - 2", "+42 -> - 42", "-7 -> - -7",
                    "2.5e2 -> - 250", "2.5 -> - -", "2,5 -> - -", "fast -> - -", "nan -> - -",
                    "1e300 -> - -"},
                   [](const std::string &text) {
                       bool b = false;
                       long long n = 0;
                       const bool is_bool = scpi::parse_bool(text, b);
                       return (is_bool ? QString::number(b) : "-") + " " +
                              (scpi::parse_integer(text, n) ? QString::number(n) : "-");
                   });
        // Strings, then the formats of replies.
        check_rows({"\"a \"\"b\"\" c\" -> a \"b\" c", "'x.y' -> x.y", "\"a\" b\" -> -", "abc -> -"},
                   [](const std::string &text) {
                       std::string s;
                       return scpi::parse_string(text, s) ? QString::fromStdString(s) : "-";
                   });
        QCOMPARE(joined(std::vector<std::string>{scpi::quote_string("say \"hi\""),
                                                 scpi::block_header(524288), scpi::block_header(0),
                                                 scpi::format_real(0.0244140625),
                                                 scpi::format_real(8001)}),
                 QString("\"say \"\"hi\"\"\"|#6524288|#10|0.0244140625|8001"));
    }

    // Lines arrive in pieces; a line beyond the limit stops the stream for good.
    void framer() {
        LineFramer framer(8);
        std::string line;
        QStringList lines;
        const auto take_lines = [&] {
            while (framer.next_line(line))
                lines << QString::fromStdString(line);
            return lines;
        };
        QVERIFY(framer.append("AB", 2));
        QCOMPARE(take_lines(), QStringList());
        QVERIFY(framer.append("C\r\nD\n\nEFGH", 10));
        QCOMPARE(take_lines(), QStringList({"ABC", "D", ""}));
        QVERIFY(framer.append("1234", 4) && framer.append("\n", 1)); // "EFGH1234": at the limit
        QCOMPARE(take_lines(), QStringList({"ABC", "D", "", "EFGH1234"}));
        QVERIFY(!framer.append("123456789", 9));
        QVERIFY(framer.overflowed());
        QVERIFY(!framer.append("\n", 1));
        QVERIFY(!framer.next_line(line));
    }

    void error_queue() {
        ScpiErrorQueue queue;
        for (std::size_t i = 0; i < ScpiErrorQueue::capacity + 3; ++i)
            queue.push(-222, "Data out of range");
        QCOMPARE(queue.size(), ScpiErrorQueue::capacity);
        for (std::size_t i = 0; i + 1 < ScpiErrorQueue::capacity; ++i)
            QCOMPARE(QString::fromStdString(queue.pop()), QString("-222,\"Data out of range\""));
        QCOMPARE(QString::fromStdString(queue.pop()), QString("-350,\"Queue overflow\""));
        QCOMPARE(QString::fromStdString(queue.pop()), QString("0,\"No error\""));
    }

    // Whole lines through a session: the wire rules, the command table and the error queue.
    void lines_data() {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("replies");
        const QString idn = "Velmora,oxTDC1,0,9.9\n", undefined = "-113,\"Undefined header\"";
        const QString range = "-222,\"Data out of range; ", command = "-100,\"Command error; ";
        const auto row = [](const char *name, bool connected, QStringList lines, QString replies) {
            QTest::newRow(name) << connected << lines << replies;
        };
        row("forms and case", false, {"acq:time 250;:ACQUIRE:TIME?"}, "250\n");
        row("relative path", false, {"ACQ:ACC ON;ITER 4;ACC?;ITER?"}, "1;4\n");
        row("rooted after relative", false, {"ACQ:TIME 5;INIT;SYST:ERR?"},
            "-200,\"Execution error; the device is not connected\"\n");
        row("one line per line", false, {"*IDN?", "ACQ:TIME?"}, idn + "100\n");
        row("no reply, no line end", false, {"ACQ:TIME 9", "ACQ:TIME?"}, "9\n");
        row("out of range, unchanged", false, {"ACQ:TIME 10000001;SYST:ERR?;ACQ:TIME?"},
            range + "0 to 10000000\";100\n");
        row("iterations at least 1", false, {"ACQ:ITER 0;SYST:ERR?"},
            range + "1 to 1000000000\"\n");
        row("binning index", false, {"HIST:BINN 21;SYST:ERR?;:HIST:BINN 20;BINN?"},
            range + "0 to 20\";20\n");
        row("undefined header", false, {"ACQ:TIMES 5;SYST:ERR?"}, undefined + "\n");
        row("query of a command only", false, {"INIT?;SYST:ERR?"}, undefined + "\n");
        row("not a number", false, {"ACQ:TIME fast;SYST:ERR?"},
            command + "a whole number is expected\"\n");
        row("extra parameter", false, {"ACQ:TIME 5,6;SYST:ERR?"},
            command + "parameter not allowed\"\n");
        row("open string", false, {"MMEM:STOR:DATA \"abc", "SYST:ERR?"},
            command + "string not closed\"\n");
        row("errors in order", false, {"BOGUS;ACQ:TIME -1", "SYST:ERR?;SYST:ERR?;SYST:ERR:NEXT?"},
            undefined + ";" + range + "0 to 10000000\";0,\"No error\"\n");
        row("cls", false, {"BOGUS", "*CLS;SYST:ERR?"}, "0,\"No error\"\n");
        row("rst", false,
            {"ACQ:TIME 7;ACC 1;AUT 1;ITER 5;THR 9;:HIST:STAR 4;WIND 50;BINN 3",
             "*RST;:ACQ:TIME?;ACC?;AUT?;ITER?;THR?;:HIST:STAR?;WIND?;BINN?"},
            "100;0;0;1;0;0;1000;0\n");
        row("opc when idle", false, {"*OPC?"}, "1\n");
        row("connect", false, {"DEV:CONN?;CONN ON;CONN?"}, "0;1\n");
        row("run, wait, fetch", true, {"ACQ:TIME 5;INIT;*OPC?;FETC:COUN?;:ACQ:STAT?"},
            "1;3,1" + QString(",0").repeated(14) + ";IDLE,1,0,0,4,0\n");
        row("init during run", true, {"ACQ:AUT 1;INIT;INIT;SYST:ERR?;ABOR"},
            "-213,\"Init ignored; a run is going\"\n");
        row("store during run", true, {"ACQ:AUT 1;INIT;MMEM:STOR:DATA \"x\";SYST:ERR?;ABOR"},
            "-221,\"Settings conflict; the run is still going\"\n");
        row("points and bin width", true, {"HIST:WIND 1000;BINN 2;POIN?;BINW?;BINN 0;BINW?"},
            "501;2;0.5\n");
        row("window narrower than a bin refused", true, {"HIST:WIND 0;:INIT;SYST:ERR?;:ACQ:STAT?"},
            "-221,\"Settings conflict; The histogram window size is 0 ns: choose a window of "
            "at least one bin.\";IDLE,0,0,0,0,0\n");
        row("shift read-modify-write", true, {"CHAN2:SHIF -7;CHAN2:SHIF?;CHAN0:SHIF?;CHAN3:SHIF?"},
            "-7;1;4\n");
        row("shift out of range", true, {"CHAN16:SHIF 1;SYST:ERR?;CHAN1:SHIF 40000;SYST:ERR?"},
            range + "channel 0 to 15\";" + range + "-32768 to 32767\"\n");
        row("device refusal queues its text", true,
            {"POT:THR 300;SYST:ERR?", "@fail", "POT:THR 30;SYST:ERR?"},
            range + "0 to 255\"\n-200,\"Execution error; bus busy\"\n");
        row("potentiometer read", true, {"@twi", "POT:ZERO?"}, "66\n");
        row("fetch without exposure", false, {"FETC:HIST? 0;SYST:ERR?;FETC:HIST? 16;SYST:ERR?"},
            "-221,\"Settings conflict; no completed exposure to fetch\";" + range + "0 to 15\"\n");
    }
    void lines() {
        QFETCH(bool, connected);
        QFETCH(QStringList, lines);
        fake().set_corrections({1, 2, 3, 4});
        if (connected)
            QCOMPARE(tdc->init("tdc_qv5.ini"), 0);
        for (const QString &line : lines) {
            if (line == "@fail") {
                fake().queue_result("ox_twi_write2", -20);
                fake().set_error_text(-20, "bus busy");
            } else if (line == "@twi") {
                fake().queue_twi_read_bytes({66});
            } else {
                send(line);
            }
        }
        QTRY_VERIFY(!session->waiting());
        QTRY_COMPARE(run->state(), RunController::Idle);
        QTEST(QString::fromStdString(sink->out), "replies");
    }

    // *OPC? holds the rest of its line back until the run has ended.
    void opc_holds_back() {
        QCOMPARE(tdc->init("tdc_qv5.ini"), 0);
        fake().set_auto_exposure(nullptr);
        send("INIT;*OPC?;*IDN?");
        QVERIFY(session->waiting());
        QCOMPARE(QString::fromStdString(sink->out), QString());
        QSignalSpy resumed(session.get(), &ScpiSession::resumed);
        fake().play_sample_exposure({3, 1});
        QVERIFY(resumed.wait());
        QCOMPARE(QString::fromStdString(sink->out), QString("1;Velmora,oxTDC1,0,9.9\n"));
    }

    // A fetched histogram is the last completed exposure's, even once the next one has started;
    // the export goes under the prefix exactly as given, dots included, replacing stale files.
    void fetch_and_store_the_completed_exposure() {
        QCOMPARE(tdc->init("tdc_qv5.ini"), 0);
        send("HIST:WIND 200;:ACQ:ACC 1;ITER 1");
        run_exposure();
        const std::vector<double> before = *tdc->get_channel_histo(0);
        QCOMPARE(before[100] + before[200] + before[300], 3.0);
        sink->hold_blocks = true;
        send("FETC:HIST? 0;FETC:HIST? 1;:FETC:AXIS?");
        QCOMPARE(QString::fromStdString(sink->out), QString("#43208;#43208;#43208\n"));
        QCOMPARE(int(sink->held.size()), 3);
        hold->set_keeping(false); // kept for the replies in flight alone
        fake().set_auto_exposure([] {
            fake().play_exposure({FakeOxTdc::make_event(0, 50)}, FakeOxTdc::make_statistics({1}));
        });
        run_exposure(); // a new run: cleared and filled anew
        QCOMPARE((*tdc->get_channel_histo(0))[100], 0.0);
        QCOMPARE(doubles_of(CollectingSink::read_all(*sink->held[0])), before);
        const std::vector<double> axis = doubles_of(CollectingSink::read_all(*sink->held[2]));
        QCOMPARE(int(axis.size()), 401);
        QCOMPARE(axis[3], 1.5);
        QTemporaryDir dir;
        const QString prefix = dir.filePath("scan.5");
        QFile stale(prefix + "_ch9.txt");
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        send(QString("MMEM:STOR:DATA \"%1\";SYST:ERR?").arg(prefix));
        QCOMPARE(QString::fromStdString(sink->out), QString("0,\"No error\"\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name),
                 QStringList({"scan.5_ch0.txt", "scan.5_info.json", "scan.5_rates.txt"}));
    }

    // A reply in flight keeps its exposure while the run goes on, also when a new window makes
    // the held histograms be made anew (their old arrays are copied first).
    void fetch_while_the_run_goes_on() {
        QCOMPARE(tdc->init("tdc_qv5.ini"), 0);
        fake().set_auto_exposure(nullptr);
        std::vector<double> second;
        connect(run.get(), &RunController::exposure_completed, this, [&](const ExposureResult &r) {
            if (r.number == 2)
                second = *r.histos[0];
        });
        run->start(RunSettings{100, 1, 0, false, true});
        fake().play_sample_exposure({3, 1});
        QTRY_COMPARE(run->run_record().exposures_completed, uint64_t(1)); // the second asked for
        send("HIST:WIND 400");
        fake().play_exposure({FakeOxTdc::make_event(0, 7), FakeOxTdc::make_event(0, 9)},
                             FakeOxTdc::make_statistics({2}));
        QTRY_VERIFY(!second.empty()); // and the third
        sink->hold_blocks = true;
        send("FETC:HIST? 0");
        hold->set_keeping(false);
        fake().play_exposure({FakeOxTdc::make_event(0, 50)}, FakeOxTdc::make_statistics({1}));
        QTRY_COMPARE(run->run_record().exposures_completed, uint64_t(3));
        run->stop();
        QCOMPARE(int(sink->held.size()), 1);
        QCOMPARE(doubles_of(CollectingSink::read_all(*sink->held[0])), second);
        QCOMPARE(second[7] + second[9], 2.0);
    }
};

QTEST_GUILESS_MAIN(TestRemote)
#include "tst_remote.moc"
