// console.h: the keyboard of the console the program runs in.
//
// While the console is open, a terminal on standard input is in non-canonical, no-echo
// mode; it is restored on every way out (return from main, exit, and every signal whose
// default action ends the process). Keys also come from the library's windows: a key pressed in
// one, or closing it, counts as a key. They arrive through a pipe that console_open makes: its
// write end is named in the environment as ACCEL_KEY_FD=<fd>, and the library writes one byte to it
// per key press or window close.
//
// The signal handlers restore the terminal, call the handler that was there before (if
// any), then let the signal end the process as it would have. A display that installs its
// own handlers later should chain to these. Ctrl-Z gives the shell its terminal back
// while the program is stopped; key mode returns when it is continued in the foreground.
// A program started in the background changes nothing until it is brought forward; a
// terminal that is not the controlling one has no job control, and key mode is taken.
// When standard input is not a terminal, every byte is a key, and its end is one too.
#pragma once

// Puts the console into key mode without discarding a key typed before.
void console_open();
// Nonzero when a key press is waiting; never blocks.
int console_key_waiting();
// Consumes one waiting key press (every byte that key sent) and returns its first byte,
// or -1 at end of input. Waits for one when none is waiting.
int console_read_key();
// Restores the terminal; also done at exit.
void console_close();
