#pragma once
// Hexadecimal digit pairs in text: the Vib bytes of a record, and the
// identification number and medium of a meter's secondary address.

namespace kestrel {

// Two hexadecimal characters (either case) to one byte, or -1.
int HexPair(char high, char low);

}  // namespace kestrel
