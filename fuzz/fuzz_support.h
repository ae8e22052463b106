#pragma once
// What every fuzz target shares: a private KESTREL_ROOT (so PidFile, logs
// and traces never touch the real /tmp or /config), and a Modbus slave that
// answers well-formed requests the way a real one would.
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzsupport {

using Bytes = std::vector<uint8_t>;

// Creates a fresh folder once per process, points KESTREL_ROOT at it and
// returns its path (tmp/ and config/ exist below it); removed at exit.
const std::string& FuzzRoot();

void WriteText(const std::string& path, const uint8_t* data, size_t size);

// Appends the Modbus CRC as a slave sends it.
Bytes WithCrc(Bytes frame);

// The answer a cooperative slave gives to a request: reads get `count`
// registers filled with `fill`, writes (10h, 06h, 05h...) their usual echo.
Bytes CooperativeAnswer(const Bytes& request, uint8_t fill);

// E5h alone (or, with collisions, C0h alone), or a long frame whose
// lengths, checksum and stop byte agree.
bool IsWellFormedAnswer(const Bytes& answer, bool collisions = false);

}  // namespace fuzzsupport
