#pragma once

#include <QString>

/// Does `procDir` (a /proc-like tree) list a live process whose comm is
/// "Core Temp.exe" in any letter case? Zombies do not count; processes that
/// vanish during the scan are skipped.
bool procListNamesCoreTemp(const QString &procDir);
