#pragma once
// The gateway's waits are short (polls of up to 1 ms, 2 ms record pauses,
// the answer gap of a serial M-Bus line); the kernel's default timer slack of
// 50 us lets every one of them run long. This asks for 1 ns of slack for the calling thread.
// false when the kernel refuses (the waits then just run a little long).

namespace kestrel {

bool UsePreciseSleeps();

}  // namespace kestrel
