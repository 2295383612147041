#pragma once

// Qt-free: the Windows implementation is cross-compiled and tested without Qt.

/// Master volume of the default audio output in percent, or -1 on any
/// failure. Mute is not read. The value is read afresh on every call.
/// On Windows the endpoint's scalar (0..1, single precision) times 100,
/// rounded to the whole percent the volume control shows; Core Audio is set
/// up and torn down per call. With PulseAudio one
/// connection is kept between calls (dropped on a failure, made again by the
/// next call), a call takes at most 500 ms, and calls on several threads
/// take turns; the scalar is the whole percent its mixers show for the
/// loudest channel, over 100, so truncating the result gives that percent.
double readSystemVolume();
