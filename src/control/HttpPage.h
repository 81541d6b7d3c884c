#pragma once
// The control page served at GET /: one HTML document with its styles and script inside, built
// into the program from HttpPage.html, so that it needs nothing from outside.

#include <string_view>

namespace cadentor::control {

std::string_view controlPage();

} // namespace cadentor::control
