#pragma once

// The block Core Temp publishes in shared memory, and that our Linux monitor
// publishes in its stead. Plain C++: the monitor has no Qt.

#include <cstddef>
#include <cstdint>

#pragma pack(push, 4)
struct CoreTempSharedData
{
    uint32_t uiLoad[256];
    uint32_t uiTjMax[128];
    uint32_t uiCoreCnt;
    uint32_t uiCPUCnt;
    float fTemp[256];
    float fVID;
    float fCPUSpeed;
    float fFSBSpeed;
    float fMultiplier;
    char sCPUName[100];
    uint8_t ucFahrenheit;
    uint8_t ucDeltaToTjMax;
    uint8_t reserved[2];
};
#pragma pack(pop)

static_assert(sizeof(CoreTempSharedData) == 2688, "Core Temp's block is 2688 bytes");

/// Name of the mapping on Windows; on Linux the POSIX shared memory object is
/// "/" + this name (so /dev/shm/CoreTempMappingObject).
constexpr const char kCoreTempMappingName[] = "CoreTempMappingObject";
constexpr const wchar_t kCoreTempMappingNameW[] = L"CoreTempMappingObject";
/// The extended block of later Core Temp releases: longer, and its leading
/// 2688 bytes are the block above. Read when the first name does not exist.
constexpr const wchar_t kCoreTempMappingExNameW[] = L"CoreTempMappingObjectEx";
constexpr const wchar_t kCoreTempMutexNameW[] = L"CoreTempMutexObject";
constexpr const char kCoreTempShmPath[] = "/CoreTempMappingObject";

/// Copies a published block out of `bytes`; false when fewer than 2688 bytes
/// are there (no data).
bool decodeCoreTempBlock(const void *bytes, std::size_t length, CoreTempSharedData &out);
