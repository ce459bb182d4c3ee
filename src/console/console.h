// Taking over a virtual terminal in graphics mode, and giving it back.
#pragma once

struct ConsoleState {
    int tty_fd;      // the held terminal /dev/ttyN, -1 while none is held
    int active;      // 1 while the held terminal is on display
    int vt_number;   // N, -1 until the console has been asked for a free one
    int previous_vt; // the terminal shown before, -1 when unknown or already back
};

extern ConsoleState glimmer_console_state;

void glimmer_console_take_over();
void glimmer_console_restore();
void glimmer_console_set_auto_mode();
void glimmer_console_on_switch_signal(int signo);
