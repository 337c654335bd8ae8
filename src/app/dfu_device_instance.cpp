#include "device/dfu_device.h"

// Constructed zeroed before main runs; its destructor releases nothing, so the
// handle, the libusb context and the image stream live until the process ends.
DfuDevice dfu_device;
