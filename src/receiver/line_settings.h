#pragma once

#include "base/settings.h"
#include "receiver/serial_port_driver.h"

namespace drv {

// Maps the [port] line settings of the configuration onto the port component. Each value must
// match a table entry exactly (case and blanks count); an unmatched value leaves the
// component's setting as it is.
void ApplyConfiguredLineSettings(TSerialPortDriver& port, const Settings& settings);

}  // namespace drv
