#pragma once

// The output speed in bit/s of the terminal behind fd, non-standard rates
// included; 0 on failure. Kept apart because the kernel's termios2 header clashes
// with the C library's <termios.h>.
unsigned PtyLineSpeed(int fd);
