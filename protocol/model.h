// The model string "QVM7316": the key the device's USB description carries,
// which the device link searches for and opens by, and the name the windows
// and the progress title show.
#pragma once

inline constexpr char kModelString[] = "QVM7316";
