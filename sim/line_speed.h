#pragma once

// The speed in bit/s that the other end of a pseudo-terminal has set, read through
// its master; 0 on failure. Kept in a file of its own because the kernel's termios2
// header clashes with the C library's <termios.h>.
unsigned LineSpeed(int masterFd);
