#pragma once

// A bench's serial devices as the enumeration describes them: the adapters that
// make mapping hard, which this machine does not have.

#include "serialports.h"

namespace bench {

// An FTDI adapter: a serial number, so its by-id link is its own.
inline const TSerialPort kFtdi{
    .node = "/dev/ttyUSB0",
    .byIdLinks = {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0"},
    .byPathLinks = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
                    "/dev/serial/by-path/pci-0000:00:14.0-usbv2-0:1:1.0-port0"},
    .driver = "ftdi_sio",
    .vendorId = "0403",
    .productId = "6001",
    .manufacturer = "FTDI",
    .product = "FT232R USB UART",
    .serialNumber = "A10K3XYZ",
};

// Two CH340 adapters without a serial number: they share one by-id link, which
// leads to the one plugged in last; only their by-path links tell them apart.
inline const TSerialPort kCh340First{
    .node = "/dev/ttyUSB1",
    .byPathLinks = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"},
    .driver = "ch341",
    .vendorId = "1a86",
    .productId = "7523",
    .product = "USB Serial",
};
inline const TSerialPort kCh340Second{
    .node = "/dev/ttyUSB2",
    .byIdLinks = {"/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"},
    .byPathLinks = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0"},
    .driver = "ch341",
    .vendorId = "1a86",
    .productId = "7523",
    .product = "USB Serial",
};

// The PC's own UART, and a ttyS the kernel reserved with nothing behind it.
inline const TSerialPort kBuiltIn{.node = "/dev/ttyS0", .driver = "serial"};
inline const TSerialPort kNoUart{.node = "/dev/ttyS1", .driver = "serial", .noUart = true};

// An adapter unplugged since Loader.ini was written: its link leads nowhere.
inline const char kGoneLink[] = "/dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0";

} // namespace bench
