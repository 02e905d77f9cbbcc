// Command bytes: single bytes written with SendCommandByte that switch the
// onboard processor into a mode or drive it. All lie from 0xC0 to 0xF5, above
// every character of the text the stages stream.
#pragma once

#include <cstdint>

enum CommandByte : std::uint8_t {
    CMD_END = 0xC0,                 // runs the pending mode byte, or ends the current mode
    CMD_GROUP_OPEN = 0xD0,          // opens a PROM instruction group
    CMD_GROUP_CLOSE = 0xD2,         // closes a PROM instruction group
    CMD_LOADER = 0xE0,              // processor loader (handshake and programming)
    CMD_RESET = 0xE4,               // processor reset
    CMD_SYNC_A = 0xE8,              // first and third handshake byte
    CMD_SYNC_B = 0xEC,              // second handshake byte
    CMD_GATE_ARRAY_ERASE = 0xF1,    // gate array erase mode
    CMD_COM_CHECK = 0xF2,           // communication check mode
    CMD_GATE_ARRAY_PROGRAM = 0xF4,  // gate array programming mode
    CMD_FACTORY_RESET = 0xF5,       // factory reset
};

// The sync byte of the handshake, the character "U".
constexpr std::uint8_t SYNC_BYTE = 0x55;
