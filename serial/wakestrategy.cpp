#include "device.h"

#include <algorithm>
#include <array>

TVaWakeStrategy VaWakeStrategyOf(std::string_view driver, bool serialCore)
{
    // Drivers whose set_termios compares the new settings with the old and
    // returns before reaching the hardware when only c_cc[VMIN] changed (the
    // README's table gives the function of each). "serial" is the name under
    // which the 8250 PCI and PNP drivers bind.
    static constexpr std::array<std::string_view, 7> kCheap = {
        "pty", "serial8250", "serial", "pl2303", "ch341-uart", "cp210x", "cdc_acm",
    };
    if (serialCore || std::find(kCheap.begin(), kCheap.end(), driver) != kCheap.end())
        return TVaWakeStrategy::WakeCount;
    return TVaWakeStrategy::Rest;
}
