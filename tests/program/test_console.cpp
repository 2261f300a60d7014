// test_console.cpp: the keys that end the demo, on a pseudo-terminal as a user types them
// and from input that is not a terminal; the terminal's mode after every way out; and the
// console layer's key reading and signal chaining through a small probe program.
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "../common/run.h"

namespace
{

constexpr const char *MESH = "3 1\n0 0 0 0 0\n1 0 0 256 0\n0 1 0 0 256\n0 1 2\n";

struct Demo {
    std::string dir;
    std::string side;
    std::string record;
    Child run;
};

// Starts the demo against the recording stand-in.
void start_demo(Demo *d, Stream input = TERMINAL, const std::string &typed = "",
                bool job_control = false)
{
    d->dir = make_temp_dir();
    d->side = make_temp_dir();
    d->record = d->side + "/calls";
    write_file(d->dir + "/obj.dat", MESH);
    RunSetup r;
    r.exe = DEMO_PATH;
    r.dir = d->dir;
    r.env = {std::string("LD_LIBRARY_PATH=") + RECORDER_DIR, "RECORD_FILE=" + d->record};
    r.in = input;
    r.typed_before = typed;
    r.job_control = job_control;
    std::string why;
    ASSERT_TRUE(run_start(r, &d->run, &why)) << why;
}

int swaps(const Demo &d)
{
    return count_lines(d.record, "grBufferSwap");
}

// Until the demo has shown a frame; it is then in its loop with the console open.
bool wait_for_frames(Demo *d, int frames)
{
    for (int waited = 0; waited < WAIT_MS; waited += 20) {
        if (swaps(*d) >= frames)
            return true;
        if (run_pump(&d->run, 20))
            return false;
    }
    return false;
}

void end_demo(Demo *d)
{
    run_finish(&d->run);
    remove_dir(d->dir);
    remove_dir(d->side);
}

// A key ends the run after frames, through the end sequence; every byte of a key that
// sends several is read, so that none reaches the shell, and none is echoed.
TEST(ConsoleKeys, KeyEndsTheRunAndLeavesNothingBehind)
{
    for (const char *key : {"q", "\x1b[A", "\x1bOP", "\x1b[15~", "\xe2\x82\xac", "\x1b[1;5C"}) {
        SCOPED_TRACE(key[0] == '\x1b' ? key + 1 : key);
        Demo d;
        start_demo(&d);
        ASSERT_TRUE(wait_for_frames(&d, 2)) << d.run.err_text;
        EXPECT_FALSE(same_mode(d.run.mode_before, run_mode(d.run))) << "no key mode while running";
        run_send(&d.run, key);
        ASSERT_TRUE(run_wait(&d.run)) << "a key did not end the program";
        EXPECT_TRUE(exited_with(d.run, 0)) << d.run.err_text;
        EXPECT_EQ(d.run.term, "") << "the key was echoed";
        EXPECT_TRUE(same_mode(d.run.mode_before, d.run.mode_after));
        const auto lines = read_lines(d.record);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "grSstSelect 0");
        EXPECT_EQ(lines.back(), "grGlideShutdown");
        // What the shell reads next is only what is typed next.
        run_send(&d.run, "next\n");
        EXPECT_EQ(read_terminal_input(&d.run, 5000), "next\n");
        end_demo(&d);
    }
}

TEST(ConsoleKeys, KeyTypedBeforeStartGivesOneFrame)
{
    for (const char *key : {"x", "\x1b[B", "\xc3\xa9"}) {
        Demo d;
        start_demo(&d, TERMINAL, key);
        ASSERT_TRUE(run_wait(&d.run));
        EXPECT_TRUE(exited_with(d.run, 0)) << d.run.err_text;
        EXPECT_EQ(swaps(d), 1) << "key typed before: " << key;
        EXPECT_TRUE(same_mode(d.run.mode_before, d.run.mode_after));
        end_demo(&d);
    }
}

TEST(ConsoleKeys, TerminalRestoredAfterSignals)
{
    const struct {
        int sig;
        const char *typed; // sent on the terminal instead of kill(2), when set
    } cases[] = {{SIGINT, "\x03"},
                 {SIGQUIT, "\x1c"},
                 {SIGINT, nullptr},
                 {SIGTERM, nullptr},
                 {SIGHUP, nullptr}};
    for (const auto &c : cases) {
        Demo d;
        start_demo(&d);
        ASSERT_TRUE(wait_for_frames(&d, 1)) << d.run.err_text;
        ASSERT_FALSE(same_mode(d.run.mode_before, run_mode(d.run))) << "no key mode to undo";
        if (c.typed)
            run_send(&d.run, c.typed);
        else
            run_kill(&d.run, c.sig);
        ASSERT_TRUE(run_wait(&d.run));
        EXPECT_TRUE(killed_by(d.run, c.sig))
            << "signal " << c.sig << ": status " << d.run.status << " " << d.run.err_text;
        EXPECT_TRUE(same_mode(d.run.mode_before, d.run.mode_after)) << "signal " << c.sig;
        end_demo(&d);
    }
}

bool wait_for_mode(const Child &run, bool key_mode)
{
    for (int waited = 0; waited < WAIT_MS; waited += 20) {
        if (same_mode(run.mode_before, run_mode(run)) != key_mode)
            return true;
        usleep(20 * 1000);
    }
    return false;
}

// Ctrl-Z gives the shell its terminal back while the program is stopped; continued, the
// program has its key mode again and a key still ends it.
TEST(ConsoleKeys, StopAndContinue)
{
    Demo d;
    start_demo(&d, TERMINAL, "", true);
    ASSERT_TRUE(wait_for_frames(&d, 1)) << d.run.err_text;
    ASSERT_TRUE(wait_for_mode(d.run, true));
    run_send(&d.run, "\x1a");
    EXPECT_TRUE(wait_for_mode(d.run, false)) << "terminal not restored while stopped";
    run_signal_job(&d.run, SIGCONT);
    EXPECT_TRUE(wait_for_mode(d.run, true)) << "no key mode after continuing";
    run_send(&d.run, "q");
    ASSERT_TRUE(run_wait(&d.run));
    EXPECT_TRUE(exited_with(d.run, 0)) << d.run.status << " " << d.run.err_text;
    EXPECT_TRUE(same_mode(d.run.mode_before, d.run.mode_after));
    end_demo(&d);

    // Without a shell to return to (an orphaned process group), Ctrl-Z does not stop it.
    start_demo(&d);
    ASSERT_TRUE(wait_for_frames(&d, 1)) << d.run.err_text;
    run_send(&d.run, "\x1a");
    const int before = swaps(d);
    ASSERT_TRUE(wait_for_frames(&d, before + 2)) << "stopped with nobody to continue it";
    ASSERT_TRUE(wait_for_mode(d.run, true));
    run_send(&d.run, "q");
    ASSERT_TRUE(run_wait(&d.run));
    EXPECT_TRUE(exited_with(d.run, 0)) << d.run.status << " " << d.run.err_text;
    EXPECT_TRUE(same_mode(d.run.mode_before, d.run.mode_after));
    end_demo(&d);
}

TEST(ConsoleKeys, InputThatIsNotATerminal)
{
    // Any byte is a key, and the end of the input is one too.
    for (const bool close_it : {false, true}) {
        Demo d;
        start_demo(&d, PIPE);
        ASSERT_TRUE(wait_for_frames(&d, 2)) << d.run.err_text;
        if (close_it)
            run_close_input(&d.run);
        else
            run_send(&d.run, "\x1b");
        ASSERT_TRUE(run_wait(&d.run)) << (close_it ? "hung on ended input" : "key not read");
        EXPECT_TRUE(exited_with(d.run, 0)) << d.run.err_text;
        end_demo(&d);
    }
    // Input that has ended before the start, or none at all (demo <&-): one frame, then
    // the end; the key pipe must not take descriptor 0 and be polled as the keyboard.
    for (const Stream in : {DEV_NULL, CLOSED}) {
        Demo d;
        start_demo(&d, in);
        ASSERT_TRUE(run_wait(&d.run))
            << "hung on " << (in == CLOSED ? "closed" : "empty") << " input";
        EXPECT_TRUE(exited_with(d.run, 0)) << d.run.err_text;
        EXPECT_EQ(swaps(d), 1);
        EXPECT_TRUE(same_mode(d.run.mode_before, d.run.mode_after));
        end_demo(&d);
    }
}

// The console layer alone, through console_probe.
Child start_probe(std::vector<std::string> args, Stream in = TERMINAL)
{
    Child run;
    std::string why;
    EXPECT_TRUE(run_start({.exe = PROBE_PATH, .args = args, .in = in}, &run, &why)) << why;
    return run;
}

TEST(ConsoleLayer, ReadsWholeKeys)
{
    Child p = start_probe({"keys", "13"});
    ASSERT_TRUE(run_wait_text(&p, "ready"));
    // Cursor up, a, F1 (xterm), b, F5, c, é, d, €, e, F1 (Linux console), f, and a lone
    // escape last: after it nothing follows, so it is a key by itself.
    run_send(&p, "\x1b[Aa\x1bOPb\x1b[15~c\xc3\xa9\x64\xe2\x82\xac"
                 "e\x1b[[Af\x1b");
    ASSERT_TRUE(run_wait(&p));
    EXPECT_TRUE(exited_with(p, 0));
    EXPECT_EQ(p.term.substr(p.term.find("ready")),
              "ready\r\nkey 27\r\nkey 97\r\nkey 27\r\nkey 98\r\nkey 27\r\nkey 99\r\n"
              "key 195\r\nkey 100\r\nkey 226\r\nkey 101\r\nkey 27\r\nkey 102\r\nkey 27\r\n");
    run_send(&p, "z\n");
    EXPECT_EQ(read_terminal_input(&p, 5000), "z\n");
    run_finish(&p);
}

TEST(ConsoleLayer, WindowKeysThroughThePipe)
{
    Child p = start_probe({"pipe"}, PIPE);
    ASSERT_TRUE(run_wait(&p));
    EXPECT_NE(p.term.find("pipe ok"), std::string::npos) << p.term;
    EXPECT_TRUE(exited_with(p, 0));
    run_finish(&p);
}

// A handler that was there before the console opened still runs; one installed later
// (as the library's terminal display does) can chain to the console's. Either way the
// terminal is restored and the process dies of the signal.
TEST(ConsoleLayer, SignalHandlersChain)
{
    const struct {
        const char *mode;
        int sig;
        const char *typed; // sent on the terminal instead of kill(2), when set
        const char *says;
    } cases[] = {{"chain", SIGTERM, nullptr, "earlier handler"},
                 {"later", SIGINT, "\x03", "later handler"}};
    for (const auto &c : cases) {
        Child p = start_probe({c.mode});
        ASSERT_TRUE(run_wait_text(&p, "ready"));
        if (c.typed)
            run_send(&p, c.typed);
        else
            run_kill(&p, c.sig);
        ASSERT_TRUE(run_wait(&p));
        EXPECT_NE(p.term.find(c.says), std::string::npos) << c.mode;
        EXPECT_TRUE(killed_by(p, c.sig)) << c.mode << ": " << describe_end(p);
        EXPECT_TRUE(same_mode(p.mode_before, p.mode_after)) << c.mode;
        run_finish(&p);
    }
}

} // namespace
