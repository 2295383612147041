#pragma once

// Windows only: the arithmetic of system_volume_win.cpp, for its tests.

/// The whole percent Windows shows for an endpoint volume scalar (0..1): the
/// nearest one, since 29 is stored as 0.28999999f (docs/DESIGN.md, "Windows
/// volume").
double volumePercentOfScalar(float scalar);
