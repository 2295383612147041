#pragma once

// One reader per platform file: docs/DESIGN.md, "Platform contract", and on
// Linux "The Linux shared-memory protocol".

#include "coretemp_shared.h"

/// Our reader of Core Temp's shared block. One snapshot per object.
class CoreTempProxy
{
public:
    /// Reads a snapshot; false whenever the block is missing, short or unreadable.
    bool GetData();
    /// Processor packages in the snapshot (0 means no usable data).
    unsigned int GetCPUCount() const;
    /// Temperature of core `index` as published; no unit conversion.
    float GetTemp(int index) const;
    /// Load of core `index` in percent, as published.
    unsigned int GetCoreLoad(int index) const;

private:
    CoreTempSharedData m_data{};
    bool m_valid = false;
};

/// Platform part: copies the currently published block into `out`.
bool readCoreTempBlock(CoreTempSharedData &out);
