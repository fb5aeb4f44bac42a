// The chat page's conveniences under load, in a real main window on the offscreen platform:
//
// - Find over a conversation pane of 1,000,000 lines, the view at its end as in a live chat:
//   the time until the first match is shown and until the count is complete, and the longest
//   event-loop turn meanwhile (the search runs in slices, so the window stays responsive). Three
//   words: one in view ("ALICE", every fourth message), one only halfway up ("zebra", once), one
//   nowhere ("qqqq"). Baseline: one plain case-insensitive QString::indexOf pass over the same
//   text taken out of the document (no slicing, no event loop); the ratio says what the slicing
//   and the document's blocks cost. Goals: first match < 100 ms, count < 1 s, turns < 50 ms; the
//   first two are also given by the thread's CPU time, which a loaded machine disturbs far less.
// - Keystroke to repaint in the compose pane holding a 5,000-character message (one paragraph):
//   a key press and a synchronous repaint, with spell checking on and off in turns. Goal: the
//   median with spell checking under 16 ms (one frame), by the wall clock and by the thread's CPU
//   time (a loaded machine stretches the first); the ratio to spell checking off is shown.
// - Chat lines into the pane through the window's receive path (reads of 4096 bytes, one
//   event-loop turn after each) with 50 ignored users against none, in turns, per second of the
//   window thread's CPU time. Goal: at least 0.9 of the rate with none.
//
// Every figure is a median over the rounds with its spread, printed as a RATIO line for
// scripts/bench. Own flags: --rounds=N (default 5), --lines=N (default 1000000),
// --messages=N (default 20000), --only=find|spell|ignore.
#include "application.h"
#include "chat_pane.h"
#include "conveniences.h"
#include "find.h"
#include "ignoring.h"
#include "palnor_form.h"
#include "run_timing.h"
#include "window_bench.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

int Flag(int Argc, char** Argv, const char* Name, int Default) {
    const std::string prefix = std::string("--") + Name + "=";
    for (int i = 1; i < Argc; ++i)
        if (std::strncmp(Argv[i], prefix.c_str(), prefix.size()) == 0) return std::atoi(Argv[i] + prefix.size());
    return Default;
}

double Ms(const QElapsedTimer& T) { return double(T.nsecsElapsed()) / 1e6; }

const char* const Senders[] = {"AAA-ALICE", "BBB-BOB", "CCC-CAROL", "DDD-DMITRI"};

// Pane lines as chat lines show them: sender and time, message, empty line.
void FillPane(TChatPane& Pane, int Lines) {
    for (int n = 0; 3 * n < Lines;) {
        const TChatPane::TBatch batch(Pane);
        for (int end = n + 1000; n < end && 3 * n < Lines; ++n) {
            Pane.AppendLine(QString::fromLatin1(Senders[n % 4]) + QStringLiteral(" 12:34 "));
            Pane.AppendLine(3 * n == Lines / 2 / 3 * 3 ? QStringLiteral("a zebra crossing") : QStringLiteral("message text %1").arg(n));
            Pane.AppendLine(QString());
        }
        QCoreApplication::processEvents();
    }
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct TFindRun {
    double FirstMs = 0, CompleteMs = 0, LongestTurnMs = 0;
    double FirstCpuMs = 0, CompleteCpuMs = 0;  // the same by the thread's CPU time
    int Matches = 0;
};

TFindRun TimeFind(TFindBar& Find, QAbstractScrollArea& Pane, const QString& Needle) {
    Find.Close();
    Find.Field->clear();
    Pane.verticalScrollBar()->setValue(Pane.verticalScrollBar()->maximum());
    Find.Open();
    QCoreApplication::processEvents();
    TFindRun run;
    QElapsedTimer all, turn;
    all.start();
    turn.start();
    const double cpu = ThreadCpuSeconds();
    auto cpuMs = [cpu] { return (ThreadCpuSeconds() - cpu) * 1000; };
    Find.Field->setText(Needle);  // the first slice runs in the keystroke's own turn
    run.LongestTurnMs = Ms(turn);
    bool shown = Find.Current() > 0;
    if (shown) run.FirstMs = Ms(all), run.FirstCpuMs = cpuMs();
    while (!Find.Complete()) {
        turn.restart();
        QCoreApplication::processEvents();
        run.LongestTurnMs = std::max(run.LongestTurnMs, Ms(turn));
        if (!shown && Find.Current() > 0) shown = true, run.FirstMs = Ms(all), run.FirstCpuMs = cpuMs();
    }
    run.CompleteMs = Ms(all);
    run.CompleteCpuMs = cpuMs();
    if (!shown) run.FirstMs = run.CompleteMs, run.FirstCpuMs = run.CompleteCpuMs;  // no match: "No matches" is what is shown first
    run.Matches = Find.Matches();
    return run;
}

double TimePlainSearch(const QString& Text, const QString& Needle) {
    QElapsedTimer t;
    t.start();
    qsizetype n = 0;
    for (qsizetype at = Text.indexOf(Needle, 0, Qt::CaseInsensitive); at >= 0; at = Text.indexOf(Needle, at + Needle.size(), Qt::CaseInsensitive)) ++n;
    const double ms = Ms(t);
    std::printf("  (plain search: %lld matches of \"%s\")\n", static_cast<long long>(n), qPrintable(Needle));
    return ms;
}

// Median keystroke-to-repaint over Keys keystrokes at the end of a 5,000-character paragraph, by
// the wall clock (what the user waits for) and by the thread's CPU time (*Cpu; what a busy
// machine disturbs far less).
double TimeKeystrokes(QPlainTextEdit& Memo, int Keys, double* Cpu) {
    QString message;
    const char* const words[] = {"the", "quick", "brown", "fox", "jumps", "over", "teh", "lazy", "dog", "recieve", "DL1ABC", "73"};
    for (int i = 0; message.size() < 5000; ++i) message += QString::fromLatin1(words[i % 12]) + u' ';
    Memo.setPlainText(message.left(5000));
    Memo.moveCursor(QTextCursor::End);
    Memo.setFocus();
    QCoreApplication::processEvents();
    std::vector<double> times, cpu;
    for (int i = 0; i < Keys; ++i) {
        const double cpuStart = ThreadCpuSeconds();
        const char c = "wordy "[i % 6];
        const Qt::Key key = c == ' ' ? Qt::Key_Space : Qt::Key(Qt::Key_A + (c - 'a'));
        QElapsedTimer t;
        t.start();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(QChar(c)));
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(QChar(c)));
        QApplication::sendEvent(&Memo, &press);
        QApplication::sendEvent(&Memo, &release);
        Memo.viewport()->repaint();
        times.push_back(Ms(t));
        cpu.push_back((ThreadCpuSeconds() - cpuStart) * 1000);
        QCoreApplication::processEvents();
    }
    *Cpu = Median(cpu);
    return Median(times);
}

// Messages per second of the window thread's CPU time through the window's receive path: the
// whole path runs on that thread, and other programs on a busy machine disturb its CPU time far
// less than the wall clock.
double ChatRate(TPalnorForm& Form, int Messages) {
    std::string wire;
    for (int n = 0; n < Messages; ++n) wire += std::string("&<") + Senders[n % 4] + "><message text " + std::to_string(n) + ">\r\n";
    Form.DisplayMemo->ClearLines();
    QCoreApplication::processEvents();
    const double start = ThreadCpuSeconds();
    for (size_t at = 0; at < wire.size(); at += 4096) {
        Form.TnCnxDataAvailable(wire.data() + at, int(std::min<size_t>(4096, wire.size() - at)));
        QCoreApplication::processEvents();
    }
    return Messages / (ThreadCpuSeconds() - start);
}

}  // namespace

int main(int Argc, char** Argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication app(Argc, Argv);
    bench::FontSubstitutions();
    std::string only;
    for (int i = 1; i < Argc; ++i)
        if (std::strncmp(Argv[i], "--only=", 7) == 0) only = Argv[i] + 7;
    auto part = [&](const char* Name) { return only.empty() || only == Name; };
    const int rounds = Flag(Argc, Argv, "rounds", 5), lines = Flag(Argc, Argv, "lines", 1000000),
              messages = Flag(Argc, Argv, "messages", 20000);
    QTemporaryDir folder;
    if (!folder.isValid() || !bench::WindowFolder(folder.path(), "CONV", 1)) return 1;
    QFile ini(folder.path() + QStringLiteral("/CL.ini"));
    if (!ini.open(QIODevice::Append)) return 1;
    ini.write("Attention=0\r\nConversationLog=0\r\n");  // no desktop service and no disk in the figures
    ini.close();

    TPalnorForm form;
    form.show();
    bench::WaitExposed(form);
    TConveniences& more = *form.Conveniences;

    TRoundFigures figures;
    if (part("find")) {
    QElapsedTimer fill;
    fill.start();
    FillPane(*form.DisplayMemo, lines);
    const QString text = PaneText(*form.DisplayMemo);
    std::printf("bench_conveniences: %lld pane lines filled in %.1f s\n", static_cast<long long>(text.count(u'\n') + 1), Ms(fill) / 1000);
    const char* const needles[] = {"ALICE", "zebra", "qqqq"};
    for (int round = 0; round < rounds; ++round)
        for (const char* needle : RoundOrder(std::vector<const char*>(std::begin(needles), std::end(needles)), round)) {
            const TFindRun run = TimeFind(*more.ChatFind, *form.DisplayMemo, QString::fromLatin1(needle));
            const double plain = TimePlainSearch(text, QString::fromLatin1(needle));
            const std::string n = needle;
            figures.Add(n + "_first", round, run.FirstMs);
            figures.Add(n + "_complete", round, run.CompleteMs);
            figures.Add(n + "_turn", round, run.LongestTurnMs);
            figures.Add(n + "_plain", round, plain);
            figures.Add(n + "_first_cpu", round, run.FirstCpuMs);
            figures.Add(n + "_complete_cpu", round, run.CompleteCpuMs);
            std::printf("  round %d \"%s\": %d matches, first shown %.1f ms (CPU %.1f), count complete %.1f ms (CPU %.1f), longest turn %.1f ms; plain search %.1f ms\n",
                        round, needle, run.Matches, run.FirstMs, run.FirstCpuMs, run.CompleteMs, run.CompleteCpuMs, run.LongestTurnMs, plain);
        }
    more.ChatFind->Close();
    form.DisplayMemo->ClearLines();
    for (const char* needle : needles) {
        const std::string n = needle;
        PrintRatio("find_first_ms_" + n, figures.Figure(n + "_first"), 100, TGoal::Lower, 1);
        PrintRatio("find_complete_ms_" + n, figures.Figure(n + "_complete"), 1000, TGoal::Lower, 1);
        PrintRatio("find_first_cpu_ms_" + n, figures.Figure(n + "_first_cpu"), 100, TGoal::Lower, 1);
        PrintRatio("find_complete_cpu_ms_" + n, figures.Figure(n + "_complete_cpu"), 1000, TGoal::Lower, 1);
        PrintRatio("find_longest_turn_ms_" + n, figures.Figure(n + "_turn"), 50, TGoal::Lower, 1);
        PrintRatio("find_complete_vs_plain_" + n, figures.Ratio(n + "_complete", n + "_plain"), 0, TGoal::Lower, 2);
    }
    }

    for (int round = 0; part("spell") && round < rounds; ++round)
        for (const bool spell : RoundOrder(std::vector<bool>{true, false}, round)) {
            more.cbSpell->setChecked(spell);
            double cpu = 0;
            const double ms = TimeKeystrokes(*form.SendMemo, 60, &cpu);
            figures.Add(spell ? "spell_on" : "spell_off", round, ms);
            figures.Add(spell ? "spell_on_cpu" : "spell_off_cpu", round, cpu);
            std::printf("  round %d spelling %s: keystroke to repaint %.2f ms, %.2f ms of CPU time (medians)\n", round, spell ? "on" : "off", ms, cpu);
        }
    form.SendMemo->clear();
    if (part("spell")) PrintRatio("keystroke_repaint_ms_spelling", figures.Figure("spell_on"), 16, TGoal::Lower, 2);
    if (part("spell")) PrintRatio("keystroke_repaint_cpu_ms_spelling", figures.Figure("spell_on_cpu"), 16, TGoal::Lower, 2);
    if (part("spell")) PrintRatio("keystroke_spelling_on_vs_off", figures.Ratio("spell_on", "spell_off"), 0, TGoal::Lower, 2);

    if (!part("ignore")) return 0;
    QStringList ignored;
    for (int i = 0; i < 50; ++i) ignored << QStringLiteral("IGN%1").arg(i);
    ChatRate(form, messages);  // warm: the first run pays for the pane's first growth
    for (int round = 0; round < rounds; ++round)
        for (const bool many : RoundOrder(std::vector<bool>{true, false}, round)) {
            more.Ignoring->SetCalls(many ? ignored : QStringList());
            const double rate = ChatRate(form, messages);
            figures.Add(many ? "ignored50" : "ignored0", round, rate);
            std::printf("  round %d with %d ignored users: %.0f messages/s\n", round, many ? 50 : 0, rate);
        }
    PrintRatio("chat_rate_50_ignored_vs_none", figures.Ratio("ignored50", "ignored0"), 0.9, TGoal::Higher);
    return 0;
}
