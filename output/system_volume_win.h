#pragma once

// Windows only: the arithmetic of system_volume_win.cpp, for its tests.

/// The whole percent Windows shows for an endpoint volume scalar (0..1):
/// the nearest one. The volume control stores its percent n as the float
/// n / 100, often a hair below it (29 as 0.28999999f), so truncating the
/// product would show one less than Windows does.
double volumePercentOfScalar(float scalar);
