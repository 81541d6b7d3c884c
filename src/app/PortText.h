#pragma once
// The text of the port information box.

#include <string>

namespace cadentor {

class PortSet;

// One line per port of `ports` in index order: "NAME : BAUD bps / PARITY / STOPBITS" and CR LF,
// where PARITY is NoParity, Odd, Even, Mark or Space and STOPBITS 1bit, 1.5bits or 2bits; empty
// without ports.
std::string portInformationText(const PortSet& ports);

} // namespace cadentor
