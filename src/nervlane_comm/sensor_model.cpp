#include "sensor_model.h"

#include <iostream>

namespace nervlane_comm {

void SensorModel::zero(const std::vector<std::vector<double>>&) {}

void console_message(const char* source, const char* message) {
    // Five pieces, colours always included: the line is meant for a terminal
    // and the escapes are part of its fixed form.
    std::cout << "\x1b[1;32m[Nervlane]:\x1b[0m \x1b[35m[" << source << "]\x1b[0m \x1b[33m" << message
              << "\x1b[0m\n";
}

}  // namespace nervlane_comm
