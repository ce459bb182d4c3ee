// Taking over a virtual terminal in graphics mode, and giving it back.
#pragma once

struct ConsoleState {
    int tty_fd;      // the held terminal /dev/ttyN, -1 while none is held
    int active;      // 1 while the held terminal is on display
    int vt_number;   // N, -1 until the console has been asked for a free one
    int previous_vt; // the terminal shown before, -1 when unknown or already back
};

extern ConsoleState glimmer_console_state;

// The record of the held terminal and the one shown before, "N PREVIOUS\n",
// kept in the working directory (the FIFO's) from the take-over to the
// restore. Should glimmer end without its restore, glimmer-restore reads it
// and gives the console back.
#define GLIMMER_CONSOLE_RECORD_NAME "glimmer.vt"

void glimmer_console_take_over();
void glimmer_console_restore();
void glimmer_console_set_auto_mode();
void glimmer_console_on_switch_signal(int signo);
// Gives back the terminal named in the record in the working directory, if
// it is still in graphics mode, and removes the record. Returns 0 when the
// console was given back or nothing was left to do, 1 for a record that
// cannot be used (reported on standard error, and removed).
int glimmer_console_restore_recorded();
