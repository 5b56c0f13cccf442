// ncurses with wide characters, without the macros that clash with names the
// pages and Qt use (clear, erase, refresh, move, timeout). Include it last.
#pragma once

#define NCURSES_WIDECHAR 1
#include <ncursesw/curses.h>

#undef clear
#undef erase
#undef refresh
#undef move
#undef timeout
