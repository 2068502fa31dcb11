#include "line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

unsigned LineSpeed(int masterFd)
{
    // termios2 carries the speed as a number, so rates without a Bxxx constant
    // are read as they are.
    struct termios2 t {};
    if (::ioctl(masterFd, TCGETS2, &t) != 0)
        return 0;
    return t.c_ospeed;
}
