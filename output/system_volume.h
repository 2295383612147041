#pragma once

// One reading per platform file: docs/DESIGN.md, "Platform contract", and the
// volume rows of "Deliberate behaviours".

/// Master volume of the default audio output in percent, or -1 on any
/// failure. Mute is not read. The value is read afresh on every call, and
/// truncating it gives the whole percent the system's mixer shows (the
/// loudest channel's with PulseAudio). With PulseAudio a call takes at most
/// 500 ms, and calls on several threads take turns.
double readSystemVolume();
